#include "TestSupport.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <grp.h>
#include <plist/plist.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace orvix::testing {

TemporaryDirectory::TemporaryDirectory(const std::string &prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    // Locked trees (no write bits) must be made writable before they can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path &path, const std::string &bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::optional<TestAccount> TestAccount::ensure(const std::string &name) {
    if (::geteuid() != 0) return std::nullopt;
    if (::getpwnam(name.c_str()) == nullptr) {
        std::string command = "useradd --create-home --shell /usr/sbin/nologin " + name;
        if (std::system(command.c_str()) != 0 && ::getpwnam(name.c_str()) == nullptr)
            throw std::runtime_error("could not create the test account " + name);
    }
    const passwd *entry = ::getpwnam(name.c_str());
    if (entry == nullptr || entry->pw_uid <= 500)
        throw std::runtime_error("the test account " + name + " must have a uid above 500");
    TestAccount account{name, entry->pw_uid, entry->pw_gid, entry->pw_dir};
    std::filesystem::create_directories(account.home);
    if (::chown(account.home.c_str(), account.uid, account.gid) != 0)
        throw std::runtime_error("cannot hand the home directory to " + name);
    return account;
}

namespace {

bool becomeAccount(const TestAccount &account) {
    return ::setgroups(0, nullptr) == 0 &&
           ::setresgid(account.gid, account.gid, account.gid) == 0 &&
           ::setresuid(account.uid, account.uid, account.uid) == 0;
}

}  // namespace

int runAs(const TestAccount &account, const std::function<int()> &body) {
    pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (!becomeAccount(account)) ::_exit(250);
        ::_exit(body() & 0xFF);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 251;
}

void chownTree(const std::filesystem::path &path, uid_t uid, gid_t gid) {
    if (::lchown(path.c_str(), uid, gid) != 0) throw std::runtime_error("lchown " + path.string());
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path)))
        for (const auto &entry : std::filesystem::directory_iterator(path))
            chownTree(entry.path(), uid, gid);
}

pid_t spawn(const std::vector<std::string> &arguments, const std::optional<TestAccount> &account,
            const std::optional<std::filesystem::path> &logFile) {
    std::vector<char *> argv;
    for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int output = logFile ? ::open(logFile->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666)
                             : ::open("/dev/null", O_WRONLY);
        if (output >= 0) {
            ::dup2(output, STDOUT_FILENO);
            ::dup2(output, STDERR_FILENO);
        }
        ::setsid();
        if (account) {
            if (!becomeAccount(*account)) ::_exit(126);
            ::setenv("HOME", account->home.c_str(), 1);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool bringUpLoopback() {
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ::ioctl(control, SIOCSIFFLAGS, &request) == 0;
    ::close(control);
    return up;
}

bool isRunning(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' &&
           line[close + 2] != 'X';
}

bool waitForExit(pid_t pid, double timeoutSeconds) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!isRunning(pid)) {
            ::waitpid(pid, nullptr, WNOHANG);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::filesystem::path makeBundle(const std::filesystem::path &directory, const std::string &name,
                                 const std::string &bundleID, bool binaryPlist) {
    auto bundle = directory / (name + ".app");
    auto executable = bundle / "Contents" / "MacOS" / name;
    std::filesystem::create_directories(executable.parent_path());

    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "CFBundleIdentifier", plist_new_string(bundleID.c_str()));
    plist_dict_set_item(info, "CFBundleName", plist_new_string(name.c_str()));
    plist_dict_set_item(info, "CFBundleExecutable", plist_new_string(name.c_str()));
    char *bytes = nullptr;
    uint32_t length = 0;
    if (binaryPlist)
        plist_to_bin(info, &bytes, &length);
    else
        plist_to_xml(info, &bytes, &length);
    writeFile(bundle / "Contents" / "Info.plist", std::string(bytes, length));
    std::free(bytes);
    plist_free(info);

    std::filesystem::copy_file("/bin/sleep", executable,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(executable, std::filesystem::perms(0755));
    return executable;
}

}  // namespace orvix::testing
