#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <system_error>

#include "AppGroups.hpp"
#include "JSONCoding.hpp"
#include "TestSupport.hpp"
#include "WebRootFiles.hpp"

using namespace orvix;
using namespace orvix::testing;

namespace {

// A complete installation under a temporary root, laid out and protected as the setup
// package leaves it.
class WebRootFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the service's files belong to root";
        files = WebRootFiles(root.path());
        std::filesystem::create_directories(files.directory());
        std::filesystem::create_directories(files.binary().parent_path());
        for (const auto &path :
             {root.path() / "Library", root.path() / "Library/Application Support",
              files.directory(), files.binary().parent_path()})
            ::chmod(path.c_str(), 0755);
        for (const auto &path : {files.binary(), files.proxy()}) {
            writeFile(path, "#!/bin/sh\n");
            ::chmod(path.c_str(), 0755);
        }
    }

    void expectRefusal(const std::function<void()> &body, const std::string &message) {
        try {
            body();
            ADD_FAILURE() << "expected a refusal with: " << message;
        } catch (const WebRootError &error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }

    TemporaryDirectory root{"zorvane-webroot"};
    WebRootFiles files{"/nonexistent"};
};

TEST_F(WebRootFilesTest, ProtectedInstallationIsAccepted) {
    EXPECT_NO_THROW(files.validateInstallation(true));
    EXPECT_EQ(files.directory(), root.path() / "Library/Application Support/ZorvaneWeb");
    EXPECT_EQ(files.binary(), root.path() / "Library/PrivilegedHelperTools/org.zorvane.web");
    EXPECT_EQ(files.proxy(), root.path() / "Library/PrivilegedHelperTools/org.zorvane.dnscrypt");
    EXPECT_EQ(files.statusURL(), files.directory() / "status.json");
    EXPECT_EQ(WebRootFiles().directory(), "/Library/Application Support/ZorvaneWeb");
}

TEST_F(WebRootFilesTest, DirectoriesOthersCouldChangeAreRefused) {
    struct Case {
        const char *name;
        std::filesystem::path path;
        std::function<void(const std::filesystem::path &)> damage;
    };
    const auto mode = [](mode_t mode) {
        return [mode](const std::filesystem::path &path) { ::chmod(path.c_str(), mode); };
    };
    const auto owner = [](const std::filesystem::path &path) { ::lchown(path.c_str(), 4242, 0); };
    const auto symlink = [](const std::filesystem::path &path) {
        std::filesystem::rename(path, path.string() + ".real");
        std::filesystem::create_directory_symlink(path.string() + ".real", path);
    };
    const std::vector<Case> cases = {
        {"service directory 0775", files.directory(), mode(0775)},
        {"service directory other-writable", files.directory(), mode(0757)},
        {"Library group-writable", root.path() / "Library", mode(0775)},
        {"Application Support owned by a user", root.path() / "Library/Application Support", owner},
        {"helper tools owned by a user", files.binary().parent_path(), owner},
        {"service directory is a symbolic link", files.directory(), symlink},
    };
    for (const auto &[name, path, damage] : cases) {
        SCOPED_TRACE(name);
        TearDown();
        std::filesystem::remove_all(root.path() / "Library");
        SetUp();
        damage(path);
        expectRefusal([&] { files.validateInstallation(true); }, WebRootFiles::directoriesMessage);
    }
}

TEST_F(WebRootFilesTest, ExecutablesMustBeRootOwnedRegularFiles) {
    ::chmod(files.binary().c_str(), 0775);
    expectRefusal([&] { files.validateInstallation(false); }, WebRootFiles::executablesMessage);
    ::chmod(files.binary().c_str(), 0755);
    ::chown(files.proxy().c_str(), 4242, 0);
    expectRefusal([&] { files.validateInstallation(true); }, WebRootFiles::executablesMessage);
    EXPECT_NO_THROW(files.validateInstallation(false));
    std::filesystem::remove(files.proxy());
    std::filesystem::create_directory(files.proxy());
    expectRefusal([&] { files.validateInstallation(true); }, WebRootFiles::executablesMessage);
}

TEST_F(WebRootFilesTest, MissingProxyMattersOnlyWhenRequired) {
    std::filesystem::remove(files.proxy());
    EXPECT_NO_THROW(files.validateInstallation(false));
    try {
        files.validateInstallation(true);
        ADD_FAILURE() << "a missing proxy was accepted";
    } catch (const std::system_error &error) {
        EXPECT_EQ(error.code().value(), ENOENT);
    }
}

TEST_F(WebRootFilesTest, MissingServiceDirectoryIsTheSystemsError) {
    std::filesystem::remove_all(files.directory());
    EXPECT_THROW(files.validateInstallation(false), std::system_error);
}

TEST_F(WebRootFilesTest, SettingsLocationOnlyForOrdinaryAccounts) {
    for (std::uint32_t uid : {0u, 1u, 500u, 3999999999u}) {
        SCOPED_TRACE(uid);
        expectRefusal([&] { WebRootFiles::settingsURL(uid); }, WebRootFiles::accountMessage);
    }
    const auto account = TestAccount::ensure();
    ASSERT_TRUE(account);
    EXPECT_EQ(WebRootFiles::settingsURL(account->uid),
              account->home / "Library/Application Support/Zorvane/settings.json");
}

class SettingsReadTest : public WebRootFilesTest {
protected:
    std::filesystem::path settings() const { return files.directory() / "settings.json"; }

    void place(const std::string &bytes, uid_t owner, mode_t mode) {
        writeFile(settings(), bytes);
        ::chown(settings().c_str(), owner, 0);
        ::chmod(settings().c_str(), mode);
    }

    const uid_t user = 4242;
};

TEST_F(SettingsReadTest, WellFormedFileOfTheOwnerIsRead) {
    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "UTC";
    configuration.blockingEnabled = true;
    place(configuration.toJSON(), user, 0600);
    EXPECT_EQ(WebRootFiles::read<OrvixConfiguration>(settings(), user), configuration);
    place(configuration.toJSON(), user, 0644);
    EXPECT_EQ(WebRootFiles::read<OrvixConfiguration>(settings(), user), configuration);
}

TEST_F(SettingsReadTest, UnexpectedFilesAreRefused) {
    struct Case {
        const char *name;
        std::function<void()> prepare;
        const char *message;
    };
    const std::string json = "{}";
    const std::vector<Case> cases = {
        {"owned by another user", [&] { place(json, user + 1, 0600); },
         WebRootFiles::unexpectedFileMessage},
        {"owned by root when the user is required", [&] { place(json, 0, 0600); },
         WebRootFiles::unexpectedFileMessage},
        {"group-writable 0664", [&] { place(json, user, 0664); },
         WebRootFiles::unexpectedFileMessage},
        {"other-writable 0606", [&] { place(json, user, 0606); },
         WebRootFiles::unexpectedFileMessage},
        {"a directory",
         [&] {
             std::filesystem::create_directory(settings());
             ::chown(settings().c_str(), user, 0);
             ::chmod(settings().c_str(), 0700);
         },
         WebRootFiles::unexpectedFileMessage},
        {"a FIFO, which must not block the reader",
         [&] {
             ::mkfifo(settings().c_str(), 0600);
             ::chown(settings().c_str(), user, 0);
         },
         WebRootFiles::unexpectedFileMessage},
        {"one byte over 1 MiB",
         [&] { place(std::string(WebRootFiles::maximumFileSize + 1, ' '), user, 0600); },
         WebRootFiles::unexpectedFileMessage},
        {"a symbolic link to a file of the user",
         [&] {
             const auto real = files.directory() / "real.json";
             writeFile(real, json);
             ::chown(real.c_str(), user, 0);
             ::chmod(real.c_str(), 0600);
             std::filesystem::create_symlink(real, settings());
             ::lchown(settings().c_str(), user, 0);
         },
         WebRootFiles::unavailableMessage},
        {"missing", [] {}, WebRootFiles::unavailableMessage},
    };
    for (const auto &[name, prepare, message] : cases) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all(settings());
        prepare();
        expectRefusal([&] { WebRootFiles::readBytes(settings(), user); }, message);
    }
}

TEST_F(SettingsReadTest, ExactlyOneMebibyteIsRead) {
    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "UTC";
    std::string bytes = configuration.toJSON();
    bytes.resize(WebRootFiles::maximumFileSize, ' ');
    place(bytes, user, 0600);
    EXPECT_EQ(WebRootFiles::readBytes(settings(), user), bytes);
    EXPECT_NO_THROW(WebRootFiles::read<OrvixConfiguration>(settings(), user));
}

TEST_F(SettingsReadTest, DecodingErrorsPassThrough) {
    place("{\"uid\": -1}", 0, 0600);
    EXPECT_THROW(WebRootFiles::read<WebRootFiles::Owner>(settings(), 0), DecodingError);
    place("not json", user, 0600);
    EXPECT_THROW(WebRootFiles::read<OrvixConfiguration>(settings(), user), DecodingError);
    place("{\"uid\": 501}", 0, 0644);
    EXPECT_EQ(WebRootFiles::read<WebRootFiles::Owner>(settings(), 0).uid, 501u);
}

TEST_F(WebRootFilesTest, StateFileNamesMustStayInTheDirectory) {
    for (const char *name : {"../escape.json", "a/b", ".", "..", ""}) {
        SCOPED_TRACE(name);
        expectRefusal([&] { files.writeData("{}", name, true, false); },
                      WebRootFiles::invalidOperationMessage);
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() / "Library/Application Support/escape.json"));
    expectRefusal(
        [&] {
            files.writeData(std::string(WebRootFiles::maximumFileSize + 1, 'x'), "status.json",
                            true, false);
        },
        WebRootFiles::invalidOperationMessage);
    EXPECT_FALSE(std::filesystem::exists(files.statusURL()));
    EXPECT_NO_THROW(files.writeData("{}", "status.json", true, false));
}

TEST_F(WebRootFilesTest, WritesReplaceTheFileWithFixedModes) {
    struct Case {
        bool publicRead;
        bool durable;
        mode_t mode;
    };
    for (const auto &[publicRead, durable, mode] :
         {Case{true, false, 0644}, Case{false, true, 0600}, Case{false, false, 0600}}) {
        SCOPED_TRACE(mode);
        const auto target = files.directory() / "state.json";
        writeFile(target, "old and longer content");
        ::chmod(target.c_str(), 0666);
        files.writeData("{\"new\":1}", "state.json", publicRead, durable);
        EXPECT_EQ(readFile(target), "{\"new\":1}");
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
        EXPECT_EQ(info.st_uid, 0u);
    }
    // Nothing but the target is left behind.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator(files.directory()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST_F(WebRootFilesTest, JSONWriterWritesTheRecord) {
    files.write(WebRootFiles::Owner{777}, "owner.json", false);
    EXPECT_EQ(readFile(files.directory() / "owner.json"), "{\"uid\":777}");
    EXPECT_EQ(WebRootFiles::read<WebRootFiles::Owner>(files.directory() / "owner.json", 0).uid,
              777u);
}

TEST_F(WebRootFilesTest, AFailedWriteKeepsThePreviousFile) {
    const auto target = files.directory() / "journal.json";
    writeFile(target, "previous");
    // A directory cannot be replaced by a file, so the rename fails after the data was written.
    std::filesystem::create_directory(files.directory() / "blocked");
    EXPECT_THROW(files.writeData("new", "blocked", false, true), std::system_error);
    EXPECT_EQ(readFile(target), "previous");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator(files.directory()))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

}  // namespace
