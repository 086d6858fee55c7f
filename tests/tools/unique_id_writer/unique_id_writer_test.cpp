// The built tool, run in provisioning sandboxes the way a box runs it.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/unique_id_writer/sandbox.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;
using skein_test::write_file;
using unique_id_test::expected_banner;
using unique_id_test::kKey;

const std::string kAlreadyPresent = "UUID already present in the file. No changes made.\n";
const std::string kOpenFailure = "Failed to open file ../tarn_cnf/skein_cloud_config.cnf : ";
const std::string kWriteFailure = "Failed to write file ../tarn_cnf/skein_cloud_config.cnf : ";
// Exit status of a child whose set-up before exec failed.
constexpr int kSetupFailed = 125;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Makes getrandom fail with ENOSYS, as on kernels without it. Returns false
// when the filter cannot be installed. The architecture is not checked: a
// foreign syscall with the same number failing only disturbs this test.
bool refuse_getrandom() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Limits the size of files the tool may write; writes beyond fail with EFBIG.
bool limit_file_size(rlim_t bytes) {
    rlimit limit{bytes, bytes};
    return signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

class UniqueIdWriter : public testing::Test {
  protected:
    // Runs the tool in the sandbox's work directory; `prepare` runs in the
    // child before exec and returns false when it cannot. Output goes through
    // pipes, which a file-size limit does not touch; it is small enough to
    // sit in them until the tool ends.
    ToolRun run(const char* binary = UNIQUE_ID_WRITER_PATH,
                const std::function<bool()>& prepare = nullptr) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return {};
        }
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0 || (prepare && !prepare())) {
                _exit(kSetupFailed);
            }
            execl(binary, binary, static_cast<char*>(nullptr));
            _exit(kSetupFailed);
        }
        close(out[1]);
        close(err[1]);
        ToolRun result;
        int wait_status = 0;
        if (pid > 0 && waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) {
            result.status = WEXITSTATUS(wait_status);
        }
        result.out = drain(out[0]);
        result.err = drain(err[0]);
        return result;
    }

    static std::string drain(int fd) {
        std::string text;
        char buf[4096];
        for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;) {
            text.append(buf, static_cast<size_t>(got));
        }
        close(fd);
        return text;
    }

    std::string config() const { return read_file(sandbox_.config()); }

    // The text form from the key line that ends the file.
    std::string stored_id() const {
        static const std::regex key_line(
            "TARN_SKEIN_UNIQUE_ID=([0-9A-F]{8}-[0-9A-F]{8}-[0-9A-F]{8}-[0-9A-F]{8})\n$");
        std::smatch match;
        const std::string content = config();
        return std::regex_search(content, match, key_line) ? match[1].str() : std::string();
    }

    // Expects a run that stored a new identifier after `before` and showed it.
    void expect_provisioned(const ToolRun& run, const std::string& before) {
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        const std::string id = stored_id();
        ASSERT_EQ(id.size(), 35u) << config();
        EXPECT_EQ(config(), before + kKey + id + "\n");
        EXPECT_EQ(run.out, expected_banner(id));
    }

    unique_id_test::Sandbox sandbox_;
};

uint64_t now_micros() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

TEST_F(UniqueIdWriter, CreatesFileHoldingOnlyTheKeyLine) {
    const uint64_t before = now_micros();
    const ToolRun result = run();
    const uint64_t after = now_micros();
    expect_provisioned(result, "");

    const std::string id = stored_id();
    const uint64_t stored = std::stoull(id.substr(0, 8) + id.substr(9, 8), nullptr, 16);
    EXPECT_GE(stored, before);
    EXPECT_LE(stored, after);
}

TEST_F(UniqueIdWriter, KeepsOtherLinesAndAppendsTheKey) {
    // The last line lacks its line feed: the key line must not be joined to it.
    const std::string content = "A=1\n# comment\n\nB = two words";
    write_file(sandbox_.config(), content);
    expect_provisioned(run(), content + "\n");
}

TEST_F(UniqueIdWriter, PresentKeyChangesNothing) {
    const std::string cases[] = {
        "A=1\n#" + kKey + "00060A24-18202240-00000000-00000000\n",
        std::string(300, 'x') + kKey + "X\n",
    };
    for (const auto& content : cases) {
        write_file(sandbox_.config(), content);
        const ToolRun result = run();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, kAlreadyPresent);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(config(), content);
    }
}

TEST_F(UniqueIdWriter, SecondRunChangesNothing) {
    expect_provisioned(run(), "");
    const std::string first = config();
    const ToolRun second = run();
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, kAlreadyPresent);
    EXPECT_EQ(config(), first);
}

TEST_F(UniqueIdWriter, UnopenableFileFailsWithoutBanner) {
    const struct {
        std::function<void()> break_directory;
        int error;
    } cases[] = {
        {[this] { fs::remove_all(sandbox_.root() / "tarn_cnf"); }, ENOENT},
        {[this] { write_file(sandbox_.root() / "tarn_cnf", "a file"); }, ENOTDIR},
    };
    for (const auto& c : cases) {
        c.break_directory();
        const ToolRun result = run();
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kOpenFailure + strerror(c.error) + "\n");
    }
}

TEST_F(UniqueIdWriter, QuickRunsGetDistinctRandomBytes) {
    std::set<std::string> random_parts;
    const int runs = 20;
    for (int i = 0; i < runs; ++i) {
        fs::remove(sandbox_.config());
        ASSERT_EQ(run().status, 0);
        random_parts.insert(stored_id().substr(18));
    }
    EXPECT_EQ(random_parts.size(), static_cast<size_t>(runs));
}

TEST_F(UniqueIdWriter, FailedWriteKeepsFileAndShowsNoBanner) {
    const std::string content = "A=1\n";
    // No byte fits, or the write stops partway through the key line.
    for (rlim_t room : {rlim_t{0}, rlim_t{10}}) {
        write_file(sandbox_.config(), content);
        const ToolRun result =
            run(UNIQUE_ID_WRITER_PATH, [&] { return limit_file_size(content.size() + room); });
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kWriteFailure + strerror(EFBIG) + "\n");
        EXPECT_EQ(config(), content) << room;
    }
    expect_provisioned(run(), content);
}

TEST_F(UniqueIdWriter, FallsBackToRandomDeviceWithoutGetrandom) {
    const ToolRun result = run(UNIQUE_ID_WRITER_PATH, refuse_getrandom);
    if (result.status == kSetupFailed) {
        GTEST_SKIP() << "seccomp filters are not available here";
    }
    expect_provisioned(result, "");
}

TEST_F(UniqueIdWriter, NoRandomBytesFailsBeforeWriting) {
    const ToolRun result = run(UNIQUE_ID_WRITER_WITHOUT_RANDOM_DEVICE_PATH, refuse_getrandom);
    if (result.status == kSetupFailed) {
        GTEST_SKIP() << "seccomp filters are not available here";
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Failed to get random bytes : " + std::string(strerror(ENOENT)) + "\n");
    EXPECT_FALSE(fs::exists(sandbox_.config()));
}

// Sanitizer builds add their runtimes; nothing else may come in.
bool is_sanitizer_runtime(const std::string& name) {
    for (const char* prefix : {"libasan", "libubsan", "libtsan"}) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(UniqueIdWriterBinary, NeedsOnlyTheCLibrary) {
    FILE* pipe = popen("readelf -d " UNIQUE_ID_WRITER_PATH, "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> needed;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        // 0x...01 (NEEDED)  Shared library: [libc.so.6]
        const std::string text = line;
        const size_t open = text.find('[');
        if (text.find("(NEEDED)") == text.npos || open == text.npos) {
            continue;
        }
        const std::string name = text.substr(open + 1, text.find(']', open) - open - 1);
        // The dynamic loader is part of the C library: stack-protected arm64
        // programs read their canary from it.
        const bool c_library_loader = name.rfind("ld-linux", 0) == 0;
        if (!(SKEIN_SANITIZED && is_sanitizer_runtime(name)) && !c_library_loader) {
            needed.push_back(name);
        }
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}

}  // namespace
