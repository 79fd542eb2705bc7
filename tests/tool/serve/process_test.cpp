// `vivazuzoz serve` as its own process under the virtual camera's wrapper:
// it prints its address, serves, and on SIGINT or SIGTERM closes its clients
// and cameras and exits with 0.
#include "http_client.h"
#include "../child_process.h"

#include "../../support/scratch_dir.h"

#include <Poco/Net/ServerSocket.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>


namespace {

class ServerProcess {
public:
    ServerProcess()
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDERR_FILENO);  // the capture core's progress lines
            execl(VCAM_RUN_PATH, VCAM_RUN_PATH, "--cameras", "2", "--", TOOL_PATH, "serve", "--listen",
                  "127.0.0.1:0", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~ServerProcess()
    {
        if (out_ >= 0)
            close(out_);
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The first line of output, read within `limit` seconds.
    std::string FirstLine(int limit)
    {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
        while (line.empty() || line.back() != '\n') {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char c;
            if (read(out_, &c, 1) != 1)
                break;
            line += c;
        }
        return line;
    }

    // Sends `signal` and waits up to `limit` seconds for the exit status
    // (128 + signal number when killed by one; -1 when it did not end).
    int Stop(int signal, int limit)
    {
        kill(pid_, signal);
        for (int i = 0; i < limit * 20; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(50000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
};

uint16_t PortOf(const std::string& line)
{
    const std::string prefix = "http://127.0.0.1:";
    const size_t at = line.find(prefix);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(line.substr(at + prefix.size())));
}

}  // namespace

TEST(ServeProcess, SignalsCloseClientsAndCamerasAndExitZero)
{
    ScratchDir dir;
    for (const int signal : {SIGINT, SIGTERM}) {
        ServerProcess server;
        const std::string line = server.FirstLine(60);
        ASSERT_EQ(line.rfind("Serving 2 cameras at http://127.0.0.1:", 0), 0u) << line;
        const uint16_t port = PortOf(line);
        ASSERT_NE(port, 0) << line;
        StreamClient stream(port, 1);
        EXPECT_TRUE(stream.NextFrame().binary);

        EXPECT_EQ(server.Stop(signal, 60), 0) << "signal " << signal;
        // The client's stream was closed, not left hanging.
        EXPECT_THROW(
            {
                for (;;)
                    stream.Next();
            },
            Poco::Exception);
    }
}

TEST(ServeProcess, APortInUseEndsWithStatusFourAndSaysWhatToDo)
{
    ScratchDir dir;
    // Another program listens on the port, with SO_REUSEADDR as servers do.
    Poco::Net::ServerSocket taken;
    taken.bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, false);
    taken.listen();
    const std::string port = std::to_string(taken.address().port());
    for (const std::string& listen : {"127.0.0.1:" + port, "0.0.0.0:" + port}) {
        const ChildResult result =
            RunChild({VCAM_RUN_PATH, "--", TOOL_PATH, "serve", "--listen", listen}, 60);
        EXPECT_EQ(result.status, 4) << listen << ": " << result.err;
        EXPECT_NE(result.err.find("in use by another program"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("--listen"), std::string::npos) << result.err;
        EXPECT_EQ(result.out.find("Serving"), std::string::npos) << result.out;
    }
}
