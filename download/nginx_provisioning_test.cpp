// Provisioning from a real HTTP server that this project did not write:
// nginx on 127.0.0.1, once closing each connection and once keeping it alive.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "testing/http_test_server.h"
#include "testing/test_client.h"

using namespace testing_support;

const char* const NGINX = "/usr/sbin/nginx";
const char* const DOCUMENT = "<?xml version=\"1.0\"?>\n<config><line n=\"2\"/></config>";

// Starts nginx as a daemon of one process that serves dir/www on port, with
// everything it writes in dir. The command returns once nginx listens.
bool StartNginx(const TempDir& dir, unsigned short port, bool keepAlive)
{
    // Relative paths are taken from the prefix, dir.
    WriteFile(dir.File("nginx.conf"),
              "master_process off; pid nginx.pid; error_log error.log;\n"
              "events { worker_connections 16; }\n"
              "http { log_format agent '$http_user_agent'; access_log access.log agent;\n"
              "  client_body_temp_path .; proxy_temp_path .; fastcgi_temp_path .; uwsgi_temp_path .;\n"
              "  scgi_temp_path .; keepalive_timeout " + std::string(keepAlive ? "65" : "0") + ";\n"
              "  server { listen 127.0.0.1:" + std::to_string(port) + "; root www; } }\n");
    return std::system((std::string(NGINX) + " -e stderr -p " + dir.Path() + " -c nginx.conf").c_str()) == 0;
}

class NginxProvisioning : public ::testing::TestWithParam<bool> {};

TEST_P(NginxProvisioning, StoresAndAppliesTheDocumentAndSendsTheDeviceUserAgent)
{
    if (access(NGINX, X_OK) != 0)
        GTEST_SKIP() << "nginx-light is not installed (scripts/install-deps.sh installs it)";
    const bool keepAlive = GetParam();
    TempDir dir;
    for (const char* sub : {"www", "www/cfg", "store"})
        mkdir(dir.File(sub).c_str(), 0755);
    WriteFile(dir.File("www/cfg/0a1b2c3d4e5f.xml"), DOCUMENT);
    FakeDeviceFiles device("2", "Version: 5.1.3\n");
    RecordingConfigurator configurator;
    // The daemon writes its pid before it serves anything; it is stopped by that pid.
    std::shared_ptr<void> stop(nullptr, [&dir](void*) {
        const pid_t daemon = static_cast<pid_t>(atoi(ReadFile(dir.File("nginx.pid")).c_str()));
        if (daemon > 0)
            kill(daemon, SIGTERM);
    });
    const unsigned short port = HttpTestServer::UnusedPort();
    ASSERT_TRUE(StartNginx(dir, port, keepAlive)) << ReadFile(dir.File("error.log"));
    LogCapture log;
    TestClient client(dir.File("store/"));
    client.mpConfigurator = ConfigurationControl::ZentroConfigurator::GetInstance();
    client.mMACAddress.Set("0a1b2c3d4e5f");
    ASSERT_TRUE(client.MakeUpUserAgentName());
    client.RetriveConfigurationByURL("http://127.0.0.1:" + std::to_string(port) + "/cfg/0a1b2c3d4e5f.xml");
    const std::string stored = dir.File("store/zentrofxs-0a1b2c3d4e5f.cfg");
    EXPECT_EQ(std::string(DOCUMENT) + "\n", ReadFile(stored));
    EXPECT_EQ((Lines{"GetInstance", "SetConfigFilePath " + stored, "Start"}), configurator.Calls());
    // A closing nginx ends the reception by its close, a keep-alive one by the receive time-out.
    const char* const received = keepAlive ? "0T AutoProvisionClient::Recieved failed(time expire)\n"
                                           : "0T AutoProvisionClient::Recieved failed(no connection)\n";
    EXPECT_EQ((Lines{received, "3T AutoProvisionClient::Start Zentro Configuration Controller\n"}),
              Leveled(log));
    EXPECT_EQ("Tovix zentro-fxs 2 firmware=5.1.3\n", ReadFile(dir.File("access.log")));
}

INSTANTIATE_TEST_SUITE_P(KeepAliveOffAndOn, NginxProvisioning, ::testing::Values(false, true));
