#include "settings/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace vistrel {

namespace {

// The file holds a few settings; anything near this size is not ours, and
// refusing it keeps a stray huge file from costing memory.
constexpr std::size_t kMaxFileSize = 1 << 20;

std::string ErrorText(int err) { return std::generic_category().message(err); }

class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Close(); }
    int Get() const { return fd_; }
    int Close() {
        int rc = 0;
        if (fd_ >= 0) rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

// Reads the file whole into `text`; false if there is no file there.
// Throws ERegistryException if it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& text) {
    // O_NONBLOCK: a FIFO or device put at the path must not stall the program.
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) return false;
        throw ERegistryException(path + ": " + ErrorText(err));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) throw ERegistryException(path + ": " + ErrorText(errno));
    if (!S_ISREG(st.st_mode)) throw ERegistryException(path + ": not a regular file");
    if (static_cast<unsigned long long>(st.st_size) > kMaxFileSize)
        throw ERegistryException(path + ": larger than " + std::to_string(kMaxFileSize) + " bytes");
    text.clear();
    char buf[16384];
    while (true) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ERegistryException(path + ": " + ErrorText(errno));
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileSize)
            throw ERegistryException(path + ": larger than " + std::to_string(kMaxFileSize) + " bytes");
    }
    return true;
}

// Loads the file; a missing one is empty. Throws ERegistryException naming the
// file (and the line, for text that does not parse).
TRegistryData LoadFile(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text)) return {};
    try {
        return ParseRegistryText(text);
    } catch (const ERegistryFormatError& e) {
        throw ERegistryException(path + ":" + std::to_string(e.Line()) + ": " + e.Reason());
    }
}

std::string ParentFolder(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates the folder and any missing parents, each private to the user.
void EnsureFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return;
        throw ERegistryException(folder + ": " + ErrorText(ENOTDIR));
    }
    if (errno != ENOENT) throw ERegistryException(folder + ": " + ErrorText(errno));
    std::string parent = ParentFolder(folder);
    if (parent != folder) EnsureFolder(parent);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw ERegistryException("Cannot create the folder " + folder + ": " + ErrorText(errno));
}

// The file the text goes to: the target of a symbolic link at the path, so
// that a linked settings file stays linked.
std::string WriteTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    }
    return path;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file by `text` so that a reader, or a crash, sees either the
// old file or the new one whole: a private temporary file in the same
// folder, flushed to disk, renamed over the old one.
void WriteFileAtomically(const std::string& path, const std::string& text) {
    std::string target = WriteTarget(path);
    std::string folder = ParentFolder(target);
    EnsureFolder(folder);
    std::string temp = target + ".XXXXXX";
    int raw = ::mkostemp(temp.data(), O_CLOEXEC);
    if (raw < 0) throw ERegistryException("Cannot write " + target + ": " + ErrorText(errno));
    TFd fd(raw);
    auto fail = [&](int err) {
        fd.Close();
        ::unlink(temp.c_str());
        throw ERegistryException("Cannot write " + target + ": " + ErrorText(err));
    };
    if (::fchmod(fd.Get(), 0600) != 0) fail(errno);
    if (!WriteAll(fd.Get(), text)) fail(errno);
    if (::fsync(fd.Get()) != 0) fail(errno);
    if (fd.Close() != 0) fail(errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) fail(errno);
    // Make the rename itself durable; the data is already safe if this fails.
    TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) ::fsync(dir.Get());
}

}  // namespace

TRegistryStore::TRegistryStore(std::string filePath) : path_(std::move(filePath)) {
    try {
        data_ = LoadFile(path_);
    } catch (const ERegistryException& e) {
        read_only_ = true;
        load_error_ = e.what();
    }
}

void TRegistryStore::Reload() {
    // A file gone from under a running relay is more likely a slip than a
    // wish for the defaults, which would drop its passwords.
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
        throw ERegistryException(path_ + ": " + ErrorText(errno));
    data_ = LoadFile(path_);
    read_only_ = false;
    load_error_.clear();
}

std::optional<TRegValue> TRegistryStore::ReadValue(std::string_view key, std::string_view name) const {
    if (const TRegValue* value = data_.FindValue(key, name)) return *value;
    return std::nullopt;
}

template <typename Change>
void TRegistryStore::Update(Change&& change) {
    if (read_only_)
        throw ERegistryException("The settings file is left as it is because it could not be read: " + load_error_);
    // Start from what the file holds now, so that values written by anyone
    // else since we read it are kept.
    TRegistryData fresh;
    try {
        fresh = LoadFile(path_);
    } catch (const ERegistryException& e) {
        read_only_ = true;
        load_error_ = e.what();
        throw ERegistryException("The settings file is left as it is because it could not be read: " + load_error_);
    }
    if (change(fresh)) {
        std::string text = FormatRegistryText(fresh);
        if (text.size() > kMaxFileSize)
            throw ERegistryException("Cannot write " + path_ + ": it would grow beyond " +
                                     std::to_string(kMaxFileSize) + " bytes");
        WriteFileAtomically(path_, text);
    }
    data_ = std::move(fresh);
}

void TRegistryStore::CreateKey(std::string_view key) {
    TRegistryData::CheckKeyPath(key);
    Update([&](TRegistryData& data) { return data.CreateKey(key); });
}

void TRegistryStore::WriteValue(std::string_view key, std::string_view name, const TRegValue& value) {
    TRegistryData::CheckKeyPath(key);
    TRegistryData::CheckValueName(name);
    Update([&](TRegistryData& data) {
        const TRegValue* old = data.FindValue(key, name);
        if (old && *old == value) return false;
        data.SetValue(key, name, value);
        return true;
    });
}

void TRegistryStore::DeleteValue(std::string_view key, std::string_view name) {
    Update([&](TRegistryData& data) { return data.DeleteValue(key, name); });
}

std::string DefaultRegistryPath() {
    const char* chosen = std::getenv("VISTREL_REGISTRY");
    if (chosen && *chosen) return chosen;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // Relative values are invalid for this variable and are ignored.
    if (config && config[0] == '/') return std::string(config) + "/vistrel/registry.reg";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        if (const passwd* pw = ::getpwuid(::getuid())) home = pw->pw_dir;
    }
    if (!home || !*home)
        throw ERegistryException("Cannot find the home folder for the settings file; set VISTREL_REGISTRY");
    return std::string(home) + "/.config/vistrel/registry.reg";
}

}  // namespace vistrel
