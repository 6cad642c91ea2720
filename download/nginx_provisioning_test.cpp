// Provisioning from a real HTTP server that this project did not write:
// nginx on 127.0.0.1, once closing each connection and once keeping it alive.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/auto_provision_client.h"
#include "testing/fake_device.h"

using namespace testing_support;

namespace {

const char* const NGINX = "/usr/sbin/nginx";
const char* const DOCUMENT = "<?xml version=\"1.0\"?>\n<config><line n=\"2\"/></config>";

class DeviceClient : public AutoProvisionClient {
public:
    explicit DeviceClient(const std::string& directory) : mDirectory(directory)
    {
        mpConfigurator = ConfigurationControl::ZentroConfigurator::GetInstance();
        mMACAddress.Set("0a1b2c3d4e5f");
    }
    std::string ConfigDirectory() const override { return mDirectory; }
    std::string StoredPath() const { return mConfigFilePath.Get(); }

private:
    std::string mDirectory;
};

int UnusedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool Accepts(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
}

// nginx in the foreground as one process, everything it writes in dir.
class Nginx {
public:
    Nginx(const TempDir& dir, bool keepAlive) : mPort(UnusedPort())
    {
        WriteFile(dir.File("nginx.conf"),
                  "daemon off;\nmaster_process off;\npid " + dir.File("nginx.pid") + ";\n"
                  "error_log " + dir.File("error.log") + ";\nevents { worker_connections 16; }\n"
                  "http {\n  log_format agent '$http_user_agent';\n"
                  "  access_log " + dir.File("access.log") + " agent;\n"
                  "  client_body_temp_path " + dir.Path() + ";\n  proxy_temp_path " + dir.Path() + ";\n"
                  "  fastcgi_temp_path " + dir.Path() + ";\n  uwsgi_temp_path " + dir.Path() + ";\n"
                  "  scgi_temp_path " + dir.Path() + ";\n"
                  "  keepalive_timeout " + (keepAlive ? "65" : "0") + ";\n"
                  "  server { listen 127.0.0.1:" + std::to_string(mPort) + "; root " + dir.File("www") + "; }\n}\n");
        mPid = fork();
        if (mPid == 0) {
            execl(NGINX, NGINX, "-e", dir.File("error.log").c_str(), "-p", dir.Path().c_str(), "-c",
                  dir.File("nginx.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Accepts(mPort) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~Nginx()
    {
        if (mPid > 0) {
            kill(mPid, SIGTERM);
            waitpid(mPid, nullptr, 0);
        }
    }
    int Port() const { return mPort; }
    bool Running() const { return mPid > 0 && Accepts(mPort); }

private:
    int mPort;
    pid_t mPid = -1;
};

class NginxProvisioning : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (access(NGINX, X_OK) != 0)
            GTEST_SKIP() << "nginx-light is not installed (scripts/install-deps.sh installs it)";
        UseTemporaryQueueDirectory();
        mkdir(mDir.File("www").c_str(), 0755);
        mkdir(mDir.File("www/cfg").c_str(), 0755);
        mkdir(mDir.File("store").c_str(), 0755);
        WriteFile(mDir.File("www/cfg/0a1b2c3d4e5f.xml"), DOCUMENT);
    }

    TempDir mDir;
};

}  // namespace

TEST_P(NginxProvisioning, StoresAndAppliesTheDocumentAndSendsTheDeviceUserAgent)
{
    const bool keepAlive = GetParam();
    FakeDeviceFiles device("2", "Version: 5.1.3\n");
    RecordingConfigurator configurator;
    Nginx nginx(mDir, keepAlive);
    ASSERT_TRUE(nginx.Running()) << ReadFile(mDir.File("error.log"));

    LogCapture log;
    DeviceClient client(mDir.File("store/"));
    ASSERT_TRUE(client.MakeUpUserAgentName());
    const std::string url = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/cfg/0a1b2c3d4e5f.xml";
    client.RetriveConfigurationByURL(url);

    const std::string stored = mDir.File("store/zentrofxs-0a1b2c3d4e5f.cfg");
    EXPECT_EQ(stored, client.StoredPath());
    EXPECT_EQ(std::string(DOCUMENT) + "\n", ReadFile(stored));
    EXPECT_EQ((std::vector<std::string>{"GetInstance", "SetConfigFilePath " + stored, "Start"}),
              configurator.Calls());
    // nginx that closes ends the reception by the close; one that keeps the
    // connection ends it by the receive time-out.
    EXPECT_EQ((std::vector<std::string>{
                  keepAlive ? "AutoProvisionClient::Recieved failed(time expire)\n"
                            : "AutoProvisionClient::Recieved failed(no connection)\n",
                  "AutoProvisionClient::Start Zentro Configuration Controller\n"}),
              log.Texts());
    EXPECT_EQ("Tovix zentro-fxs 2 firmware=5.1.3\n", ReadFile(mDir.File("access.log")));
}

INSTANTIATE_TEST_SUITE_P(KeepAliveOffAndOn, NginxProvisioning, ::testing::Values(false, true));
