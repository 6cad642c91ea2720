// The provisioning client: the daemon's web-side endpoint and the owner of the
// queue poller, the provisioning messenger, the configurator instance and the
// worker thread that drives discovery.
#ifndef CORE_AUTO_PROVISION_CLIENT_H
#define CORE_AUTO_PROVISION_CLIENT_H

#include <atomic>
#include <exception>
#include <list>
#include <string>

#include "core/shared_state.h"
#include "download/response_string.h"
#include "messaging/messaging.h"
#include "utility/utility.h"
#include "configurator/zentro_configurator.h"

class AutoProvisionMessenger;

// Program-wide constants.
class AutoProvision {
public:
    static const char* const _MULTI_CAST_IP_ADDRESS_;   // "224.0.1.75"
    static const char* const _CONFIG_DIRECTORY_;        // "/tmp/httpipeconfig/"
    static const char* const _CONFIG_FILE_PREFIX_;      // "zentrofxs-"
};

class AutoProvisionClient : public CGIMessenger {
public:
    AutoProvisionClient();
    // Runs CleanUp. The messaging base classes' destructors are noexcept, so
    // an exception from CleanUp is kept for RethrowCleanUpFailure instead of
    // leaving the destructor (which would end the process in std::terminate).
    virtual ~AutoProvisionClient();
    // Rethrows, once, what the last destroyed client's CleanUp threw; does
    // nothing when it threw nothing. Called by the entry point right after
    // the client's destruction, on the same thread.
    static void RethrowCleanUpFailure();

    // Creates the collaborators and starts the worker; true when ready to run.
    bool Initialize();
    // The event loop; returns false only when an exception leaves it.
    bool Run();
    void CleanUp();

    // Worker thread and provisioning state.
    bool StartProcess();
    static unsigned long RequestProc(void* client);
    // Requests a new subscription at the worker's next tick. Any thread.
    void ConfigUpdate();
    unsigned long long GetSubscribtionID() const;
    int IsMulticastMsgSentSuccessfully();

    // One subscription attempt; worker thread only.
    void SendMulticastMessage();

    // Download and apply.
    bool ParseURL(const std::string& url, ConfigurationControl::RequestParams& params);
    bool SendConfigRequest(const ConfigurationControl::RequestParams& params);
    bool MakeUpUserAgentName();
    bool ReceiveConfiguration(BsdSocket& socket, ResponseString& response);
    // Virtual so that the fetch tool's check sees the whole answer it stores.
    virtual void SerializeConfig(const ResponseString& response);
    bool Notify(const unsigned long long& subscriptionID, const std::string& url);
    void RetriveConfigurationByURL(const std::string& url);

    int OnUpdate(UpdateType type, const std::list<std::string>& data) override;

    // The device file that MakeUpUserAgentName reads through "cat".
    static const char* const LINE_NUMBER_FILE;

protected:
    // Directory of the stored configuration file, AutoProvision::_CONFIG_DIRECTORY_;
    // tests override it with a temporary directory.
    virtual std::string ConfigDirectory() const;
    // Largest file SerializeConfig stores, XmlCheck::MAX_DOCUMENT_BYTES: the
    // configurator refuses anything larger. A tool off the device may lift it.
    virtual size_t StoredFileLimit() const;

    // Fields shared by the worker thread and the main thread are atomic or
    // guarded by their own wrapper, so that neither sees a half-written value.
    unsigned long mThreadID;
    ThreadMutex mMutex;                                   // held by ConfigUpdate only
    ConfigurationControl::ZentroConfigurator* mpConfigurator;
    AutoProvisionMessenger* mpMessenger;
    CyclicQueuePoller* mpPoller;
    SeqLockedU64 mSubscriptionID;                         // written by the worker only
    SharedText mMACAddress;                               // written by the worker only
    SharedText mConfigFilePath;
    std::string mUserAgent;                               // written before the worker starts
    std::atomic<int> mMulticastMsgSent;
    std::atomic<int> mSubscribeRequested;

private:
    static std::exception_ptr sCleanUpFailure;   // main thread only
};

#endif
