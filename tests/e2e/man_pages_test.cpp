// The manual pages against the programs: OPTIONS against --help, the
// footer against --version, vistreld(8) against the settings written, and
// every program's status for --help (0) and an unknown option (2).
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "settings/settings.h"
#include "tests/e2e/child_process.h"
#include "tests/unit/settings_temp_dir.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using testing::ReadFileText;
using testing::TChildProcess;
using testing::TTempDir;

struct TProgram {
    std::string Path, Page;                // Page: in the build tree, version filled in; "" for none
    std::vector<std::string> Needed = {};  // so that the unknown option is what the error names
};

std::vector<TProgram> Programs() {
    std::vector<TProgram> programs = {
        {VISTRELD_PATH, MAN_DIR "/vistreld.8"},
        {VISTREL_FILM_PATH, MAN_DIR "/vistrel-film.1", {"game.rec", "--server", "127.0.0.1"}},
        {VISTREL_WATCH_PATH, MAN_DIR "/vistrel-watch.1", {"--server", "127.0.0.1", "--list"}},
    };
#ifdef VISTREL_SERVER_PATH
    programs.push_back({VISTREL_SERVER_PATH, MAN_DIR "/vistrel-server.1"});
    programs.push_back({VISTREL_DEMO_CLIENT_PATH, ""});
#endif
    return programs;
}

struct TRun {
    int Status;
    std::string Out, Err;
};

TRun RunProgram(std::vector<std::string> args, std::vector<std::string> environment = {}) {
    TTempDir dir;
    TChildProcess child(std::move(args),
                        {.Output = dir / "out", .ErrorOutput = dir / "err", .Environment = std::move(environment)});
    const int status = child.Wait(10s);
    return {status, child.Output(), child.ErrorOutput()};
}

// From the line ".SH NAME" to the next section.
std::string Section(const std::string& page, const std::string& name) {
    const size_t start = std::min(page.find("\n.SH " + name + "\n"), page.size());
    return page.substr(start, page.find("\n.SH ", start + 1) - start);
}

std::set<std::string> OptionNames(const std::string& text) {
    static const std::regex name("(^|[\\s\",])(--?[a-z][a-z0-9-]*)");
    std::set<std::string> names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), name); it != std::sregex_iterator(); ++it)
        names.insert((*it)[2]);
    return names;
}

// --help's option column: the first word of each line that starts with
// spaces and a dash ("-o,--output" is two names).
std::set<std::string> HelpOptions(const std::string& help) {
    std::set<std::string> names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);)
        if (const size_t at = line.find_first_not_of(' '); at != 0 && at != std::string::npos && line[at] == '-')
            names.merge(
                OptionNames(std::regex_replace(line.substr(at, line.find(' ', at) - at), std::regex(","), " ")));
    return names;
}

// The tags of a page's OPTIONS: the line after each .TP, roff's "\-" and
// font changes taken out.
std::set<std::string> PageOptions(const std::string& page) {
    std::set<std::string> names;
    const std::string fonts = std::regex_replace(Section(page, "OPTIONS"), std::regex("\\\\f[A-Z]"), " ");
    std::istringstream lines(std::regex_replace(fonts, std::regex("\\\\-"), "-"));
    for (std::string line, last; std::getline(lines, line); last = line)
        if (last == ".TP") names.merge(OptionNames(line));
    return names;
}

TEST(ManPages, ListEveryOptionOfTheProgramsHelpAndItsVersionAndExitStatuses) {
    for (const TProgram& program : Programs()) {
        SCOPED_TRACE(program.Path);
        const TRun help = RunProgram({program.Path, "--help"});
        EXPECT_EQ(help.Status, 0) << help.Err;
        std::vector<std::string> badArgs = {program.Path};
        badArgs.insert(badArgs.end(), program.Needed.begin(), program.Needed.end());
        badArgs.push_back("--no-such-option");
        const TRun bad = RunProgram(badArgs);
        EXPECT_EQ(bad.Status, 2);
        EXPECT_NE(bad.Err.find("--no-such-option"), std::string::npos) << bad.Err;
        if (program.Page.empty()) continue;
        const std::string page = ReadFileText(program.Page);
        EXPECT_EQ(PageOptions(page), HelpOptions(help.Out)) << help.Out;
        const TRun version = RunProgram({program.Path, "--version"});
        std::string number = version.Out.substr(version.Out.find(' ') + 1);  // "1.3\n"
        EXPECT_NE(page.substr(0, page.find('\n')).find("\"Vistrel Server " + number.erase(number.size() - 1) + "\""),
                  std::string::npos);
        const std::string exits = Section(page, "EXIT STATUS");
        for (const char* status : {"\n.B 0\n", "\n.B 1\n", "\n.B 2\n"})
            EXPECT_NE(exits.find(status), std::string::npos) << status;
    }
#ifdef VISTREL_SERVER_PATH
    // Without a display Qt would abort before any option of its own is known.
    const TRun bare =
        RunProgram({VISTREL_SERVER_PATH, "--no-such-option"}, {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    EXPECT_EQ(bare.Status, 2);
    EXPECT_NE(bare.Err.find("Usage: vistrel-server"), std::string::npos) << bare.Err;
#endif
}

TEST(ManPages, VistreldNamesEverySettingTheRelayWrites) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    TSetupFields fields;
    SaveSettings(store, fields);
    const std::string file = ReadFileText(dir / "registry.reg");
    const std::string settings = Section(ReadFileText(MAN_DIR "/vistreld.8"), "SETTINGS");
    size_t names = 0;
    static const std::regex value("\n\"([A-Za-z]+)\"=");
    for (auto it = std::sregex_iterator(file.begin(), file.end(), value); it != std::sregex_iterator(); ++it, ++names)
        EXPECT_NE(settings.find("\n.TP\n.B " + (*it)[1].str() + "\n"), std::string::npos) << (*it)[1];
    EXPECT_GE(names, 8u) << file;
}

}  // namespace
}  // namespace vistrel
