// Key containers a PFX load makes live in the loading process's memory until a
// certificate of a system store takes the key, so a process killed while holding one
// leaves no key in any file; whatever a dead process left marked in a database written
// before goes at the next opening, and nothing permanent or still in use goes with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "platform/store/user_database.h"
#include "platform/system/process_identity_internal.h"
#include "tests/host_script.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using nlohmann::json;
using testing_support::filesHolding;
using testing_support::runCommand;

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/";

// Field 22 of /proc/<pid>/stat as Python reads it: the fields after the last ')'.
uint64_t startTimeByPython(pid_t pid) {
    std::string out = runCommand("python3 -c \"s=open('/proc/" + std::to_string(pid) +
                                 "/stat').read(); print(s[s.rindex(')') + 2:].split()[19])\"");
    return std::stoull(out);
}

// A child that has ended and been reaped: its identity names no process any more.
ProcessIdentity reapedChild() {
    ProcessIdentity id = currentProcessIdentity();
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    bool missing = false;
    readProcessStartTime("/proc", child, &id.startTime, &missing);
    id.pid = child;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return id;
}

TEST(ProcessIdentity, StartTimeMatchesProcStatAsPythonReadsIt) {
    for (pid_t pid : {getpid(), getppid()}) {
        uint64_t ticks = 0;
        bool missing = true;
        ASSERT_TRUE(readProcessStartTime("/proc", pid, &ticks, &missing)) << pid;
        EXPECT_FALSE(missing);
        EXPECT_EQ(ticks, startTimeByPython(pid)) << pid;
    }
    EXPECT_EQ(currentProcessIdentity().pid, getpid());
    EXPECT_EQ(currentProcessIdentity().startTime, startTimeByPython(getpid()));
    EXPECT_FALSE(currentProcessIdentity().boot.empty());
}

TEST(ProcessIdentity, StateOfOwners) {
    const ProcessIdentity self = currentProcessIdentity();
    auto with = [&](auto change) {
        ProcessIdentity id = self;
        change(id);
        return id;
    };
    struct Case {
        const char* what;
        ProcessIdentity owner;
        ProcessState state;
    } cases[] = {
        {"this process", self, ProcessState::Running},
        {"the parent", with([](ProcessIdentity& id) {
             id.pid = getppid();
             bool missing = false;
             readProcessStartTime("/proc", id.pid, &id.startTime, &missing);
         }),
         ProcessState::Running},
        {"pid reused by a later process", with([](ProcessIdentity& id) { ++id.startTime; }),
         ProcessState::Gone},
        {"ended and reaped", reapedChild(), ProcessState::Gone},
        {"pid 0", with([](ProcessIdentity& id) { id.pid = 0; }), ProcessState::Gone},
        {"negative pid", with([](ProcessIdentity& id) { id.pid = -1; }), ProcessState::Gone},
        {"pid beyond any", with([](ProcessIdentity& id) { id.pid = 1LL << 40; }),
         ProcessState::Gone},
        {"an earlier boot", with([](ProcessIdentity& id) { id.boot = "0-earlier-boot"; }),
         ProcessState::Gone},
        {"another pid namespace", with([](ProcessIdentity& id) { id.pidNamespace = "pid:[1]"; }),
         ProcessState::Unknown},
    };
    for (const Case& c : cases) EXPECT_EQ(processState(c.owner), c.state) << c.what;
}

// The parser on stat lines whose command name holds spaces and parentheses.
TEST(ProcessIdentity, StatLinesOfAFakeProc) {
    testing_support::TempDir proc;
    struct Case {
        const char* what;
        const char* stat;  // null: no such process
        bool read;
        uint64_t ticks;
    } cases[] = {
        {"plain", "77 (sh) S 1 77 77 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0 12345 100 200\n", true,
         12345},
        {"name with ') ('",
         "77 (a) (b c) R 1 77 77 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0 987654321 1\n", true,
         987654321},
        {"cut before field 22", "77 (sh) S 1 77 77 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0\n", false,
         0},
        {"no name", "77 sh S 1\n", false, 0},
        {"field 22 not a number", "77 (sh) S 1 77 77 0 -1 4 1 2 3 4 5 6 7 8 20 0 1 0 12x 1\n",
         false, 0},
        {"missing", nullptr, false, 0},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(proc.file("77"));
        if (c.stat) {
            std::filesystem::create_directories(proc.file("77"));
            testing_support::writeFile(proc.file("77/stat"), c.stat);
        }
        uint64_t ticks = 0;
        bool missing = false;
        EXPECT_EQ(readProcessStartTime(proc.path(), 77, &ticks, &missing), c.read) << c.what;
        EXPECT_EQ(missing, c.stat == nullptr) << c.what;
        if (c.read) {
            EXPECT_EQ(ticks, c.ticks) << c.what;
        }
        ProcessIdentity owner = currentProcessIdentity();
        owner.pid = 77;
        owner.startTime = c.ticks;
        ProcessState expected = c.read   ? ProcessState::Running
                                : c.stat ? ProcessState::Unknown
                                         : ProcessState::Gone;
        EXPECT_EQ(processState(owner, proc.path()), expected) << c.what;
    }
}

// ---- the sweep on opening the database, in process

struct Container {
    std::string name;
    int64_t ownerPid;
    std::string protection;
};

std::vector<Container> containers() {
    std::vector<KeyContainerRecord> all;
    EXPECT_TRUE(listKeyContainers(all));
    std::vector<Container> out;
    for (const KeyContainerRecord& r : all) out.push_back({r.container, r.ownerPid, r.protection});
    return out;
}

// Rows of the user database's key_containers, read with SQLite apart from the layer.
int storedContainers(const std::string& database) {
    sqlite3* db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
        sqlite3_exec(
            db, "SELECT count(*) FROM key_containers",
            [](void* out, int, char** values, char**) {
                *static_cast<int*>(out) = std::atoi(values[0]);
                return 0;
            },
            &count, nullptr);
    sqlite3_close(db);
    return count;
}

const Container* findContainer(const std::vector<Container>& all, const std::string& name) {
    for (const Container& c : all)
        if (c.name == name) return &c;
    return nullptr;
}

void setOwner(const std::string& name, const ProcessIdentity& owner) {
    DbConnection* db = userDatabase();
    ASSERT_NE(db, nullptr);
    DbStatement st;
    ASSERT_EQ(st.prepare(*db,
                         "UPDATE key_containers SET owner_boot = ?1, owner_pidns = ?2, "
                         "owner_pid = ?3, owner_start = ?4 WHERE name = ?5"),
              SQLITE_OK);
    st.bindText(1, owner.boot);
    st.bindText(2, owner.pidNamespace);
    st.bind(3, owner.pid);
    st.bind(4, static_cast<int64_t>(owner.startTime));
    st.bindText(5, name);
    ASSERT_EQ(st.step(), SQLITE_DONE);
    ASSERT_EQ(db->changes(), 1) << name;
}

// A stored container with a key, or (temporary) one of this process's memory.
void newContainer(const std::string& name, bool temporary) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(
        temporary
            ? cryptAcquireTemporaryContext(&prov, name.c_str(), nullptr, PROV_RSA_FULL)
            : CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        << name;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 512u << 16, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

// Puts the certificate into MY with a key-provider property naming `container`.
void certificateNaming(const std::string& derPath, const std::string& container) {
    store_test::addNamingContainer("MY", derPath, container);
}

TEST(KeyLeftovers, OpeningTheDatabaseRemovesWhatDeadProcessesLeft) {
    TempHome home;
    const ProcessIdentity self = currentProcessIdentity();
    const ProcessIdentity dead = reapedChild();
    ProcessIdentity earlierBoot = self;
    earlierBoot.boot = "0-earlier-boot";
    ProcessIdentity reused = self;
    ++reused.startTime;
    ProcessIdentity unseen = self;
    unseen.pidNamespace = "pid:[1]";
    struct Case {
        const char* name;
        bool temporary;
        const ProcessIdentity* owner;  // null: as created
        bool kept;
        bool stillTemporary;
    } cases[] = {
        {"permanent", false, nullptr, true, false},
        {"mine-alive", true, &self, true, true},
        {"dead-owner", true, &dead, false, false},
        {"earlier-boot", true, &earlierBoot, false, false},
        {"reused-pid", true, &reused, false, false},
        {"unseen-owner", true, &unseen, true, true},
        // A certificate of MY names it: it only loses the mark.
        {"dead-but-named", true, &dead, true, false},
    };
    // Marked as a PFX load of an earlier version marked its containers in the database.
    for (const Case& c : cases) newContainer(c.name, false);
    certificateNaming(kFixtures + "pfx/user1.der", "DEAD-BUT-NAMED");
    for (const Case& c : cases)
        if (c.owner) setOwner(c.name, *c.owner);

    closeUserDatabase();
    std::vector<Container> after = containers();
    for (const Case& c : cases) {
        const Container* found = findContainer(after, c.name);
        EXPECT_EQ(found != nullptr, c.kept) << c.name;
        if (found) {
            EXPECT_EQ(found->ownerPid != 0, c.stillTemporary) << c.name;
        }
    }
    if (const Container* mine = findContainer(after, "mine-alive")) {
        EXPECT_EQ(mine->ownerPid, getpid());
    }
}

TEST(KeyLeftovers, GivingTheKeyToACertificateOfMyStoresTheContainer) {
    TempHome home;
    newContainer("loaded", true);
    ASSERT_NE(findContainer(containers(), "loaded"), nullptr);
    EXPECT_EQ(findContainer(containers(), "loaded")->ownerPid, getpid());
    EXPECT_EQ(findContainer(containers(), "loaded")->protection, "memory");
    EXPECT_EQ(storedContainers(home.database()), 0);
    // The name is matched with its case ignored, as providers open containers.
    certificateNaming(kFixtures + "pfx/user1.der", "LOADED");
    std::vector<Container> after = containers();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].ownerPid, 0);
    EXPECT_EQ(after[0].protection, "file");
    EXPECT_EQ(storedContainers(home.database()), 1);
}

TEST(KeyLeftovers, PfxImportKeepsItsKeysInMemoryUntilDeleted) {
    TempHome home;
    std::string pfx = testing_support::readFile(kFixtures + "pfx/modern.pfx");
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), reinterpret_cast<BYTE*>(pfx.data())};
    HCERTSTORE store = PFXImportCertStore(&blob, u"secret", CRYPT_EXPORTABLE);
    ASSERT_NE(store, nullptr);
    std::vector<Container> all = containers();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].ownerPid, getpid());
    EXPECT_EQ(storedContainers(home.database()), 0);
    // Usable through the certificate as a stored key is, and gone once deleted.
    PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(cert, nullptr);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr,
                                                  &prov, &keySpec, &callerFree));
    HCRYPTPROV ignored = 0;
    ASSERT_TRUE(CryptAcquireContextA(&ignored, all[0].name.c_str(), nullptr, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGetUserKey(prov, keySpec, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_TRUE(containers().empty());
    if (callerFree) CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
}

// ---- a host killed in the middle of a PFX operation

// The kscapi host running a script, stopped after its first PFX load, with its standard
// input and output as pipes.
class HeldHost {
  public:
    HeldHost(const std::string& home, const std::string& script) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[1]);
            close(out[0]);
            setenv("KSCAPI_HOLD_AFTER_PFX_LOAD", "1", 1);
            execl(KSCAPI_HOST_PATH, KSCAPI_HOST_PATH, "--home", home.c_str(), "--ui", "none", "run",
                  script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        output_ = fdopen(out[0], "r");
    }
    ~HeldHost() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_) fclose(output_);
    }
    // Reads output lines until the host says it holds; false at the end of its output.
    bool waitUntilHeld() {
        char line[4096];
        while (output_ && fgets(line, sizeof line, output_)) {
            json l = json::parse(line, nullptr, false);
            if (l.is_object() && l.contains("held")) return l["pid"] == pid_;
        }
        return false;
    }
    // Kills the host with SIGKILL and reaps it; true when the signal ended it.
    bool kill9() {
        if (pid_ <= 0) return false;
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    FILE* output_ = nullptr;
};

class KilledHost : public host_script::HostScript {
  protected:
    // Every container of the home as `keys list` gives it, which opens the database.
    std::vector<Container> listed() {
        std::istringstream out(runCommand(host() + "keys list"));
        std::vector<Container> all;
        for (std::string line; std::getline(out, line);) {
            json l = json::parse(line);
            all.push_back({l["container"], l["owner"].is_null() ? 0 : l["owner"].get<int64_t>(),
                           l["protection"]});
        }
        return all;
    }
};

// The modulus of the key in modern.pfx, by the openssl command.
std::string modernModulus() {
    std::string out =
        runCommand("openssl pkcs12 -in " + kFixtures +
                   "pfx/modern.pfx -passin pass:secret -nocerts -nodes 2>/dev/null | openssl rsa "
                   "-modulus -noout");
    return testing_support::unhex(out.substr(out.find('=') + 1, out.size() - out.find('=') - 2));
}

TEST_F(KilledHost, AKilledHostLeavesNoKeyInAnyFile) {
    const std::string folder = dir_.file("pfx");
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(kFixtures + "pfx/modern.pfx", folder + "/modern.pfx");
    struct Case {
        const char* what;
        std::string script;
    } cases[] = {
        {"ImportPfxToIE", "ImportPfxToIE \"" + folder + "\" modern.pfx secret 1 0\n"},
        {"ExportMobileFromPfx", "ExportMobileFromPfx \"" + folder + "\" modern.pfx secret 0 0\n"},
        {"ChangePfxPasswd", "ChangePfxPasswd \"" + folder + "\" modern.pfx secret other 0\n"},
    };
    const std::string modulus = modernModulus();
    ASSERT_EQ(modulus.size(), 256u);
    // A key installed for good before, and kept through everything below.
    importIntoMy(kFixtures + "sign/good.pfx");
    std::vector<Container> before = listed();
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(before[0].ownerPid, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing_support::writeFile(dir_.file("held-script"), c.script);
        HeldHost held(dir_.file("home"), dir_.file("held-script"));
        ASSERT_TRUE(held.waitUntilHeld());
        // While the loading process holds the key, no file of the home has it, and
        // another process sees only the key installed before.
        EXPECT_EQ(filesHolding(dir_.file("home"), modulus), std::vector<std::string>{});
        std::vector<Container> during = listed();
        ASSERT_EQ(during.size(), 1u);
        EXPECT_EQ(during[0].name, before[0].name);
        ASSERT_TRUE(held.kill9());
        EXPECT_EQ(filesHolding(dir_.file("home"), modulus), std::vector<std::string>{});
        std::vector<Container> after = listed();
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].name, before[0].name);
        EXPECT_EQ(after[0].ownerPid, 0);
    }
    // The file was not touched by the password change that was killed.
    EXPECT_EQ(testing_support::readFile(folder + "/modern.pfx"),
              testing_support::readFile(kFixtures + "pfx/modern.pfx"));
}

TEST_F(KilledHost, ACompletedImportKeepsItsContainerPermanent) {
    host_script::Lines lines =
        run("ImportPfxToIE \"" + kFixtures + "pfx\" modern.pfx secret 1 0\n");
    ASSERT_EQ(call(lines, "ImportPfxToIE")["lastError"], 0);
    std::vector<Container> after = listed();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].ownerPid, 0);
    // Still usable by a later process.
    lines = run(
        "SelectSigner \"S_C=TW,S_O=Kestrune Test,S_CN=PFX User One\" 0 0\nSignPkcs7 \"text\" 0\n");
    EXPECT_EQ(call(lines, "SignPkcs7")["lastError"], 0);
}

}  // namespace
