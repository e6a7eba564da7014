// The manual pages against the programs they describe: every option a
// program's --help lists is a tagged entry of its page's OPTIONS and the
// other way round, the footer carries the version --version prints, every
// setting the relay writes is in vistreld(8), and every program answers
// --help with 0 and an unknown option with 2 (vistrel-server without a
// display too).
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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
    std::string Path;
    std::string Page;  // the manual page in the build tree, its version filled in; "" for none
    // What it needs before an unknown option is what its usage error names.
    std::vector<std::string> Needed = {};
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
    const size_t start = page.find("\n.SH " + name + "\n");
    if (start == std::string::npos) return {};
    const size_t end = page.find("\n.SH ", start + 1);
    return page.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::set<std::string> OptionNames(const std::string& text) {
    static const std::regex name("(^|[\\s\",])(--?[a-z][a-z0-9-]*)");
    std::set<std::string> names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), name); it != std::sregex_iterator(); ++it)
        names.insert((*it)[2]);
    return names;
}

// The option column of --help: the first word of each line that starts
// with spaces and a dash ("-o,--output" is two names).
std::set<std::string> HelpOptions(const std::string& help) {
    static const std::regex line(" +(-[^ ]+).*");
    std::set<std::string> names;
    std::istringstream lines(help);
    std::smatch match;
    for (std::string text; std::getline(lines, text);)
        if (std::regex_match(text, match, line))
            for (const std::string& option : OptionNames(std::regex_replace(match[1].str(), std::regex(","), " ")))
                names.insert(option);
    return names;
}

// The tags of the OPTIONS section: the line after each .TP, roff's "\-"
// and font changes taken out.
std::set<std::string> PageOptions(const std::string& page) {
    const std::string options = Section(page, "OPTIONS");
    std::set<std::string> names;
    for (size_t at = options.find("\n.TP\n"); at != std::string::npos; at = options.find("\n.TP\n", at + 1)) {
        const size_t from = at + 5;
        std::string tag = options.substr(from, options.find('\n', from) - from);
        tag = std::regex_replace(tag, std::regex("\\\\-"), "-");
        tag = std::regex_replace(tag, std::regex("\\\\f[A-Z]"), " ");
        for (const std::string& option : OptionNames(tag)) names.insert(option);
    }
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
        ASSERT_FALSE(page.empty()) << program.Page;
        EXPECT_EQ(PageOptions(page), HelpOptions(help.Out)) << help.Out;
        const TRun version = RunProgram({program.Path, "--version"});
        const std::string number =
            version.Out.substr(version.Out.rfind(' ') + 1, version.Out.find('\n') - version.Out.rfind(' ') - 1);
        EXPECT_NE(page.substr(0, page.find('\n')).find("\"Vistrel Server " + number + "\""), std::string::npos)
            << version.Out;
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
