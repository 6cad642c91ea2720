// Queue endpoints on Unix-domain datagram sockets and the poller over them.
#include "messaging/messaging.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <system_error>
#include <utility>

#include "utility/utility.h"

namespace {


// Most invalid datagrams one ReceiveMessage consumes before it gives the
// caller its turn back, so that a flood cannot hold a thread.
const int MAX_DROPS_PER_RECEIVE = 256;

// Queue number -> socket of this process, for CyclicQueuePoller.
class QueueRegistry {
public:
    static void Add(int queue, int fd)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Map()[queue] = fd;
    }

    static void Remove(int queue)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Map().erase(queue);
    }

    // Fills fds with the sockets of the registered queues among queues.
    static void Lookup(const std::vector<int>& queues, std::vector<int>& found, std::vector<pollfd>& fds)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        for (int queue : queues) {
            auto it = Map().find(queue);
            if (it == Map().end())
                continue;
            pollfd entry;
            entry.fd = it->second;
            entry.events = POLLIN;
            entry.revents = 0;
            fds.push_back(entry);
            found.push_back(queue);
        }
    }

    static bool Contains(int queue)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return Map().count(queue) != 0;
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    static std::map<int, int>& Map()
    {
        static std::map<int, int> map;
        return map;
    }
};

// The one way a send reports its failure: false, and the reason in *error.
bool Failed(int reason, int* error)
{
    if (error != nullptr)
        *error = reason;
    return false;
}

// Fills address with a filesystem path; false when the path does not fit.
bool MakeAddress(const std::string& path, sockaddr_un& address, socklen_t& length)
{
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

// 0 when a datagram socket can connect to address, else the errno.
int ProbeAddress(const sockaddr_un& address, socklen_t length)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    int rc = PlatformDetail::RetryOnInterrupt([&] { return connect(fd, reinterpret_cast<const sockaddr*>(&address), length); });
    int error = rc == 0 ? 0 : errno;
    close(fd);
    return error;
}

// Holds an exclusive flock on the queue directory, so that two processes
// creating the same queue cannot both take the socket file for stale.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& directory)
        : mFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (mFd >= 0 && PlatformDetail::RetryOnInterrupt([&] { return flock(mFd, LOCK_EX); }) != 0) {
            close(mFd);
            mFd = -1;
        }
    }
    ~DirectoryLock()
    {
        if (mFd >= 0)
            close(mFd);   // closing the last descriptor releases the lock
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    bool Held() const { return mFd >= 0; }

private:
    int mFd;
};

// Binds fd at the queue's path; 0 or an errno.
int BindQueue(int fd, const std::string& path)
{
    std::string directory = Messaging::QueueDirectory();
    if (mkdir(directory.c_str(), 0770) == 0)
        chmod(directory.c_str(), 0770);   // the exact mode, whatever the umask
    else if (errno != EEXIST)
        return errno;

    sockaddr_un address;
    socklen_t length = 0;
    if (!MakeAddress(path, address, length))
        return ENAMETOOLONG;

    DirectoryLock lock(directory);
    if (!lock.Held())
        return errno != 0 ? errno : EACCES;

    struct stat info;
    if (lstat(path.c_str(), &info) == 0) {
        int probe = ProbeAddress(address, length);
        if (probe == 0)
            return EADDRINUSE;
        // Only a file nobody is bound to is stale; anything else (no
        // permission, for instance) is left alone and reported.
        if (probe != ECONNREFUSED)
            return probe;
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return errno;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0)
        return errno;
    if (chmod(path.c_str(), 0660) != 0) {
        int error = errno;
        unlink(path.c_str());
        return error;
    }
    return 0;
}

// Binds fd to a fresh abstract address chosen by the kernel; 0 or an errno.
int BindAnonymous(int fd)
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    socklen_t length = static_cast<socklen_t>(sizeof(sa_family_t));
    return bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ? 0 : errno;
}

// Room for the sender's credentials and a few descriptors, which are closed.
union ControlBuffer {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(8 * sizeof(int))];
};

// Reads the control data of one datagram: true when it carries credentials of
// this process's user or group and nothing else. Descriptors are closed.
bool CheckControl(msghdr& header)
{
    bool accepted = false;
    bool extra = (header.msg_flags & MSG_CTRUNC) != 0;
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&header); cmsg != nullptr; cmsg = CMSG_NXTHDR(&header, cmsg)) {
        if (cmsg->cmsg_level != SOL_SOCKET) {
            extra = true;
            continue;
        }
        size_t dataLength = cmsg->cmsg_len - CMSG_LEN(0);
        if (cmsg->cmsg_type == SCM_CREDENTIALS && dataLength >= sizeof(ucred)) {
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(cmsg), sizeof(credentials));
            accepted = credentials.uid == geteuid() || credentials.gid == getegid();
        } else if (cmsg->cmsg_type == SCM_RIGHTS) {
            for (size_t offset = 0; offset + sizeof(int) <= dataLength; offset += sizeof(int)) {
                int received;
                std::memcpy(&received, CMSG_DATA(cmsg) + offset, sizeof(received));
                close(received);
            }
            extra = true;
        } else {
            extra = true;
        }
    }
    return accepted && !extra;
}

}  // namespace

// ---------------------------------------------------------------- CyclicMessageQueue

CyclicMessageQueue::CyclicMessageQueue(int queue) : mQueue(queue), mFd(-1), mDropped(0)
{
    if (queue < 0)
        throw std::system_error(EINVAL, std::generic_category(), "message queue number");
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "message queue socket");
    int on = 1;
    int error = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0)
        error = errno;
    std::string path = queue == 0 ? std::string() : Messaging::QueuePath(queue);
    if (error == 0)
        error = queue == 0 ? BindAnonymous(fd) : BindQueue(fd, path);
    if (error != 0) {
        close(fd);
        throw std::system_error(error, std::generic_category(), "message queue " + std::to_string(queue));
    }
    mFd = fd;
    mPath = path;
    if (queue != 0)
        QueueRegistry::Add(queue, fd);
}

CyclicMessageQueue::~CyclicMessageQueue()
{
    if (mQueue != 0)
        QueueRegistry::Remove(mQueue);
    close(mFd);
    if (!mPath.empty())
        unlink(mPath.c_str());
}

bool CyclicMessageQueue::SendTo(int to, const Messaging::Message& message, int* error)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (to <= 0)
        return Failed(EINVAL, error);
    if (!MakeAddress(Messaging::QueuePath(to), address, length))
        return Failed(ENAMETOOLONG, error);
    return SendToAddress(address, length, message, error);
}

bool CyclicMessageQueue::SendToAddress(const sockaddr_un& to, socklen_t toLength,
                                       const Messaging::Message& message, int* error)
{
    std::vector<uint8_t> datagram;
    if (!Messaging::EncodeMessage(message, datagram))
        return Failed(EMSGSIZE, error);
    ssize_t sent = PlatformDetail::RetryOnInterrupt([&] {
        return sendto(mFd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&to), toLength);
    });
    if (sent < 0)
        return Failed(errno, error);
    if (sent != static_cast<ssize_t>(datagram.size()))
        return Failed(EMSGSIZE, error);
    if (error != nullptr)
        *error = 0;
    return true;
}

bool CyclicMessageQueue::ReceiveMessage(Messaging::Message& message, sockaddr_un* from,
                                        socklen_t* fromLength)
{
    // One byte more than the largest message, so that MSG_TRUNC marks any
    // datagram that is too long even where it is not reported.
    std::vector<uint8_t> buffer(Messaging::MAX_MESSAGE_SIZE + 1);
    sockaddr_un source;
    ControlBuffer control;
    PlatformDetail::DatagramReader reader(buffer.data(), buffer.size(), source, control.bytes);
    msghdr& header = reader.Header();
    for (int attempt = 0; attempt < MAX_DROPS_PER_RECEIVE; ++attempt) {
        ssize_t received = reader.Receive(mFd, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (received < 0)
            return false;   // nothing pending (EAGAIN) or the socket failed

        bool credited = CheckControl(header);
        size_t size = static_cast<size_t>(received);
        Messaging::Message decoded;
        if (!credited || size > Messaging::MAX_MESSAGE_SIZE || (header.msg_flags & MSG_TRUNC) != 0 ||
            !Messaging::DecodeMessage(buffer.data(), size, decoded)) {
            ++mDropped;
            continue;
        }
        message = std::move(decoded);
        if (from != nullptr) {
            socklen_t capacity = fromLength != nullptr ? *fromLength : static_cast<socklen_t>(sizeof(*from));
            std::memset(from, 0, std::min<size_t>(capacity, sizeof(*from)));
            std::memcpy(from, &source, std::min<size_t>({capacity, header.msg_namelen, sizeof(*from)}));
        }
        if (fromLength != nullptr)
            *fromLength = header.msg_namelen;
        return true;
    }
    return false;
}

bool CyclicMessageQueue::WaitForInput(int timeoutMs)
{
    pollfd entry;
    entry.fd = mFd;
    entry.events = POLLIN;
    entry.revents = 0;
    // After a signal the wait goes on for what is left of the time-out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int ready = PlatformDetail::RetryOnInterrupt(
        [&] { return poll(&entry, 1, timeoutMs < 0 ? -1 : PlatformDetail::RemainingMs(deadline)); });
    return ready > 0 && (entry.revents & POLLIN) != 0;
}

bool CyclicMessageQueue::IsQueueServed(int queue)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (queue <= 0 || !MakeAddress(Messaging::QueuePath(queue), address, length))
        return false;
    return ProbeAddress(address, length) == 0;
}

// ---------------------------------------------------------------- CyclicQueuePoller

CyclicQueuePoller::CyclicQueuePoller(int maxQueues) : mMaxQueues(maxQueues > 0 ? maxQueues : 0), mNext(0)
{
}

CyclicQueuePoller::~CyclicQueuePoller()
{
}

bool CyclicQueuePoller::SelectQueue(int queue, const char* /*owner*/, bool read, bool /*exclusive*/)
{
    if (!read || !QueueRegistry::Contains(queue))
        return false;
    if (std::find(mQueues.begin(), mQueues.end(), queue) != mQueues.end())
        return true;
    if (static_cast<int>(mQueues.size()) >= mMaxQueues)
        return false;
    mQueues.push_back(queue);
    return true;
}

int CyclicQueuePoller::WaitForEvents()
{
    // The sockets are looked up on every call, so that a queue destroyed since
    // it was selected is skipped instead of polled as a stale descriptor.
    std::vector<int> queues;
    std::vector<pollfd> fds;
    QueueRegistry::Lookup(mQueues, queues, fds);
    if (fds.empty())
        return 0;
    int rc = PlatformDetail::RetryOnInterrupt([&] { return poll(fds.data(), static_cast<nfds_t>(fds.size()), -1); });
    if (rc <= 0)
        return 0;
    // Start after the queue served last time, so that ready queues take turns.
    size_t count = fds.size();
    for (size_t k = 0; k < count; ++k) {
        size_t i = (mNext + k) % count;
        if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            mNext = (i + 1) % count;
            return queues[i];
        }
    }
    return 0;   // only invalid descriptors reported
}
