// The vesk tool's writing commands end to end: a full disk, a replaced output
// file, and signals never cost the user the file they had.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "veskrun.h"

namespace {

const char* const kCompressions[] = {"none", "bytecode", "zlib"};
const char kOld[] = "the file the user had";

class VeskWriting : public VeskTest {
protected:
    void SetUp() override {
        VeskTest::SetUp();
        // Random doubles do not compress: every compression writes a large file.
        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> u(-1e6, 1e6);
        std::string csv = "a,b,c,n\n";
        char line[128];
        for (int i = 0; i < 20000; ++i) {
            std::snprintf(line, sizeof line, "%.17g,%.17g,%.17g,%d\n", u(rng), u(rng), u(rng), i);
            csv += line;
        }
        Put("in.csv", csv);
        Put("out.sys", kOld);
    }

    void Put(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    // Starts the tool with stdout and stderr in the work directory; the child
    // runs setup first.
    template <class Setup>
    pid_t Start(const std::vector<std::string>& args, Setup setup) const {
        const pid_t pid = fork();
        if (pid != 0) return pid;
        const int out = open(Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        setup();
        std::vector<char*> argv{const_cast<char*>(VESK_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VESK_TOOL, argv.data());
        _exit(127);
    }
    // Runs the tool as if under `ulimit -f`: no file may grow past limit bytes,
    // and SIGXFSZ is ignored, so the writes fail with EFBIG.
    VeskResult RunLimited(const std::vector<std::string>& args, rlim_t limit) const {
        const pid_t pid = Start(args, [limit] {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit r{limit, limit};
            setrlimit(RLIMIT_FSIZE, &r);
        });
        int raw = 0;
        waitpid(pid, &raw, 0);
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, SlurpFile(Path("stdout")), SlurpFile(Path("stderr"))};
    }
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(VeskWriting, AFullDiskFailsTheWriteAndLeavesTheOutputAlone) {
    for (const char* c : kCompressions) {
        ASSERT_EQ(Run({"import", "--compression", c, Path("in.csv"), Path("whole.sys")}).status, 0);
        const size_t size = SlurpFile(Path("whole.sys")).size();
        ASSERT_GT(size, 200000u) << c;
        // In the dictionary, halfway, and at the very last byte.
        for (size_t limit : {size_t(300), size / 2, size - 1}) {
            SCOPED_TRACE(std::string(c) + ", file size limit " + std::to_string(limit));
            for (const auto& args : {std::vector<std::string>{"import", "--compression", c, Path("in.csv")},
                                     std::vector<std::string>{"convert", "--compression", c, Path("whole.sys")}}) {
                std::vector<std::string> full = args;
                full.push_back(Path("out.sys"));
                const VeskResult r = RunLimited(full, limit);
                EXPECT_EQ(r.status, 1) << args[0];
                EXPECT_TRUE(Contains(r.err, "out.sys") && Contains(r.err, "[1202]")) << args[0] << ": " << r.err;
                EXPECT_EQ(SlurpFile(Path("out.sys")), kOld) << args[0];
                EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "out.sys", "whole.sys"})) << args[0];
            }
        }
        std::remove(Path("whole.sys").c_str());
    }
}

TEST_F(VeskWriting, ReplacingKeepsPermissionsAndWritesThroughLinks) {
    ASSERT_EQ(chmod(Path("out.sys").c_str(), 0600), 0);
    ASSERT_EQ(Run({"import", Path("in.csv"), Path("out.sys")}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(Path("out.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    Put("real.sys", kOld);
    ASSERT_EQ(chmod(Path("real.sys").c_str(), 0640), 0);
    ASSERT_EQ(symlink("real.sys", Path("link.sys").c_str()), 0);
    ASSERT_EQ(Run({"convert", "--compression", "zlib", Path("out.sys"), Path("link.sys")}).status, 0);
    ASSERT_EQ(lstat(Path("link.sys").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(Path("real.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    const VeskResult r = Run({"verify", Path("link.sys")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "cases: 20000\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "link.sys", "out.sys", "real.sys"}));
}

// The tool is stopped once its temporary file is complete, then signalled.
TEST_F(VeskWriting, SignalsRemoveTheTemporaryFile) {
    ASSERT_EQ(Run({"import", Path("in.csv"), Path("whole.sys")}).status, 0);
    const std::string mark = Path("stalled");
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        for (const auto& args : {std::vector<std::string>{"import", Path("in.csv"), Path("out.sys")},
                                 std::vector<std::string>{"convert", Path("whole.sys"), Path("out.sys")}}) {
            SCOPED_TRACE(args[0] + ", signal " + std::to_string(sig));
            const pid_t pid = Start(args, [&] {
                setenv("LD_PRELOAD", VESK_STALL_FSYNC, 1);
                setenv("VESK_STALL_MARK", mark.c_str(), 1);
                setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
            });
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            int raw = 0;
            bool stalled = false, ended = false;
            while (!stalled && !ended && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                stalled = access(mark.c_str(), F_OK) == 0;
                ended = waitpid(pid, &raw, WNOHANG) == pid;
            }
            std::remove(mark.c_str());
            const std::vector<std::string> during = Files();
            if (!ended) {
                kill(pid, stalled ? sig : SIGKILL);
                waitpid(pid, &raw, 0);
            }
            ASSERT_TRUE(stalled) << SlurpFile(Path("stderr"));
            // While it stalled, its temporary file stood beside the output.
            ASSERT_EQ(during.size(), 4u);
            EXPECT_EQ(during[0].rfind(".out.sys.tmp-", 0), 0u) << during[0];
            EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 128 + sig) << raw;
            EXPECT_EQ(Files(), (std::vector<std::string>{"in.csv", "out.sys", "whole.sys"}));
            EXPECT_EQ(SlurpFile(Path("out.sys")), kOld);
        }
    }
}
