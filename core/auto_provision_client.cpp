#include "core/auto_provision_client.h"

#include <cxxabi.h>

#include <new>

#include "diagnostics/auto_provision_logger.h"
#include "discovery/auto_provision_messenger.h"

using ConfigurationControl::ZentroConfigurator;

const char* const AutoProvision::_CONFIG_DIRECTORY_ = "/tmp/httpipeconfig/";
const char* const AutoProvision::_CONFIG_FILE_PREFIX_ = "zentrofxs-";

// The subscription identifier starts at 0, which GenerateUniqueNumber never
// returns, so a notification that arrives before the first attempt matches nothing.
AutoProvisionClient::AutoProvisionClient()
    : CGIMessenger(Messaging::CGI_QUEUE),
      mThreadID(0),
      mMutex(),
      mpConfigurator(nullptr),
      mpMessenger(nullptr),
      mpPoller(nullptr),
      mSubscriptionID(0),
      mMACAddress(),
      mConfigFilePath(),
      mUserAgent(),
      mMulticastMsgSent(0),
      mSubscribeRequested(1)
{
}

std::exception_ptr AutoProvisionClient::sCleanUpFailure;

AutoProvisionClient::~AutoProvisionClient()
{
    try {
        CleanUp();
    } catch (...) {
        sCleanUpFailure = std::current_exception();
    }
}

void AutoProvisionClient::RethrowCleanUpFailure()
{
    std::exception_ptr failure = sCleanUpFailure;
    sCleanUpFailure = nullptr;
    if (failure != nullptr)
        std::rethrow_exception(failure);
}

bool AutoProvisionClient::Initialize()
{
    try {
        mpPoller = new (std::nothrow) CyclicQueuePoller(30);
        if (mpPoller == nullptr) {
            logger.TRACE(0, true, "AutoProvisionClient::Failed to initialize CyclicQueuePoller\n");
            return false;
        }
        mpMessenger = new (std::nothrow) AutoProvisionMessenger(this);
        if (mpMessenger == nullptr) {
            logger.TRACE(0, true, "AutoProvisionClient::Failed to initialize AutoProvisionMessenger\n");
            return false;
        }
        mpConfigurator = ZentroConfigurator::GetInstance();
        if (mpConfigurator == nullptr) {
            logger.TRACE(0, true, "AutoProvisionClient::Failed to initialize ZentroConfigurator\n");
            return false;
        }
        if (!MakeUpUserAgentName())
            return false;
        return StartProcess();
    } catch (...) {
        logger.TRACE(0, true, "AutoConfigClient::Faild to initialize Auto Provisioning Client\n");
        return false;
    }
}

bool AutoProvisionClient::Run()
{
    try {
        mpPoller->SelectQueue(Messaging::PRESENCE_CLIENT_QUEUE, "/bin/ping", true, true);
        mpPoller->SelectQueue(Messaging::CGI_QUEUE, "/bin/ping", true, true);
        mpMessenger->ProcessMessageFromQueue(1);
        if (mpMessenger->IsPartyOnline()) {
            mpMessenger->OnPresencePartyStateChanged(true);
            mpMessenger->OnPartyStateChanged(true);
        }
        for (;;) {
            switch (mpPoller->WaitForEvents()) {
            case Messaging::PRESENCE_CLIENT_QUEUE:
                mpMessenger->ProcessMessageFromQueue(1);
                break;
            case Messaging::CGI_QUEUE:
                CGIMessenger::ProcessMessageFromQueue(1);
                break;
            case 0:
                logger.TRACE(1, true, "Failed to get event from Queue\n");
                break;
            default:
                logger.TRACE(1, true, "Unappropriate  event recieved from Queue\n");
                break;
            }
        }
    } catch (...) {
        return false;
    }
}

void AutoProvisionClient::CleanUp()
{
    if (mThreadID != 0)
        Thread::TerminateThread(mThreadID, 1);
    if (mpConfigurator != nullptr)
        ZentroConfigurator::CloseInstance();
    if (mpMessenger != nullptr)
        delete mpMessenger;
    if (mpPoller != nullptr)
        delete mpPoller;
}

bool AutoProvisionClient::StartProcess()
{
    mThreadID = Thread::BeginThread(&AutoProvisionClient::RequestProc, this, 0);
    if (mThreadID == 0) {
        logger.TRACE(0, true, "Failed to start autoprovisioning process\n");
        return false;
    }
    return true;
}

// The stop of TerminateThread unwinds the worker from its Sleep with a forced
// unwind, which must go on; anything else ends the worker with 1. The forced
// unwind carries no object, so the sanitizer's check of the reference binding
// is left out here.
__attribute__((no_sanitize("null"))) unsigned long AutoProvisionClient::RequestProc(void* arg)
{
    AutoProvisionClient* client = static_cast<AutoProvisionClient*>(arg);
    if (client == nullptr)
        return 1;
    try {
        client->mpMessenger->ProcessMessageFromQueue(1);
        for (;;) {
            if (client->mSubscribeRequested != 0)
                client->SendMulticastMessage();
            Thread::Sleep(100);
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return 1;
    }
}

void AutoProvisionClient::ConfigUpdate()
{
    mMutex.Lock();
    mSubscribeRequested = 1;
    mMutex.Unlock();
}

unsigned long long AutoProvisionClient::GetSubscribtionID() const
{
    return mSubscriptionID.Load();
}

int AutoProvisionClient::IsMulticastMsgSentSuccessfully()
{
    return mMulticastMsgSent;
}
