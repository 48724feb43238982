#include "InboxBenchPeers.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <thread>
#include <variant>

#include "ChildLines.h"
#include "common/logging/Logger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "interprocess/AsynchronousDataLink.h"
#include "interprocess/DataLink.h"
#include "interprocess/DataLinkRecord.h"
#include "interprocess/JsonSerialization.h"
#include "interprocess/KeyedNameHash.h"
#include "interprocess/NameSet.h"
#include "interprocess/SessionUser.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"

namespace ipcbench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string dataText(const std::string& json) {
    std::string text;
    interprocess::json_serialize(interprocess::protocol::Command(interprocess::protocol::Data{json}),
                                 text);
    return text;
}

// Writes "<text> <time received>" for each record's text.
class Arrivals : public interprocess::IAsynchronousDataLinkClient {
public:
    explicit Arrivals(int output) : output_(output) {}
    void onDataLinkMessage(const std::string, bool,
                           const interprocess::protocol::Command message) override {
        if (const auto* data = std::get_if<interprocess::protocol::Data>(&message)) {
            writeLine(output_, data->json + " " + std::to_string(nowNs()));
        }
    }
    void onDataLinkSyncMessage(const std::string, bool, const interprocess::protocol::Command,
                               bool&) override {}

private:
    int output_;
};

// What the link's sets of names hash them with, as this process computes it:
// under this process's own key. The bench's own process hashes no name, so
// each of its children draws a key of its own, as separate programs do.
using LinkNameHash = interprocess::KeyedNameHash;

// `count` names that begin with `prefix` and end in kRandomSize letters and
// digits; with `colliding`, only names that fall in one bucket of a set that
// holds as many names as the link's sets hold at most, drawn on four threads.
std::vector<std::string> chooseNames(const std::string& prefix, std::size_t count,
                                     bool colliding) {
    static const char kAlphabet[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    interprocess::NameSet full;
    for (std::size_t i = 0; i < interprocess::UserInboxes::kMaxCandidates; ++i) {
        full.insert(std::to_string(i));
    }
    const std::size_t buckets = full.buckets();
    constexpr std::size_t kThreads = 4;
    std::vector<std::vector<std::string>> parts(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 random(std::random_device{}());
            const LinkNameHash hash;
            std::string name = prefix;
            while (parts[t].size() < (count + kThreads - 1) / kThreads) {
                name.resize(prefix.size());
                std::uint64_t bits = random();
                for (std::size_t c = 0; c < interprocess::UserInboxes::kRandomSize; ++c) {
                    if (c % 10 == 0) {
                        bits = random();
                    }
                    name += kAlphabet[bits % 62];
                    bits /= 62;
                }
                if (!colliding || hash(name) % buckets == 0) {
                    parts[t].push_back(name);
                }
            }
        });
    }
    std::vector<std::string> names;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads[t].join();
        names.insert(names.end(), parts[t].begin(), parts[t].end());
    }
    names.resize(count);
    return names;
}

}  // namespace

int rootLink(const std::string& id, const std::string& logFolder) {
    interprocess::SessionUser::setSource([] { return kSessionUser; });
    common::Logger::setLogFolder(logFolder);
    common::Logger::init("ipc-bench-root", logFolder + "/ipc-bench-root",
                         helper::ApplicationType::Unattended, {common::logsink::rotatingFile});
    auto scheduler = common::TaskSchedulerMac::create(10ms, common::createLogger("TaskScheduler"));
    auto link = interprocess::AsynchronousDataLink::create(
        interprocess::DataLink::create(id, kRootKind), scheduler->createQueue("Link"));
    Arrivals arrivals(STDOUT_FILENO);
    link->addObserver(&arrivals);
    if (!link->init()) {
        return 1;
    }
    writeLine(STDOUT_FILENO, "ready");
    std::thread([&] {
        char c;
        while (::read(STDIN_FILENO, &c, 1) > 0) {
        }
        scheduler->stop();
    }).detach();
    scheduler->run();
    std::_Exit(0);
}

int sender(const std::string& id, const std::string& kind, const std::string& label,
           std::chrono::milliseconds period, int burst) {
    auto link = interprocess::DataLink::create(id, kind);
    if (!link->init(interprocess::AsynchronousDataLink::kMaxMsgCount,
                    interprocess::AsynchronousDataLink::kMaxMsgSize)) {
        return 1;
    }
    const auto send = [&] {
        const std::int64_t at = nowNs();
        const std::string text = dataText(label + " " + std::to_string(at));
        const bool sent = link->send(kRootKind, {text.begin(), text.end()}, false, 1, false, false,
                                     true);
        writeLine(STDOUT_FILENO, "sent " + label + " " + std::to_string(at) + (sent ? " 1" : " 0"));
    };
    writeLine(STDOUT_FILENO, "ready");
    if (burst == 0) {
        for (;;) {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            if (::poll(&input, 1, static_cast<int>(period.count())) != 0) {
                return 0;
            }
            send();
        }
    }
    char c;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        for (int i = 0; c == '\n' && i < burst; ++i) {
            send();
            std::this_thread::sleep_for(period);
        }
    }
    return 0;
}

int plant(const std::string& queue, const std::vector<uid_t>& uids, Clock::duration duration,
          std::size_t count, bool keep) {
    static const char kAlphabet[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::mt19937_64 random(std::random_device{}());
    std::vector<std::string> prefixes;
    for (const uid_t uid : uids) {
        prefixes.push_back(std::string(interprocess::SharedRecordQueue::kDirectory) + "/" +
                           interprocess::UserInboxes::prefixFor(queue, uid));
    }
    const auto end = Clock::now() + duration;
    std::size_t made = 0;
    std::string path;
    for (std::size_t i = 0; made < count; ++i) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (i % 256 == 0 && (Clock::now() >= end || ::poll(&input, 1, 0) != 0)) {
            break;
        }
        path = prefixes[i % prefixes.size()];
        for (int half = 0; half < 2; ++half) {
            std::uint64_t bits = random();
            for (int c = 0; c < 6; ++c, bits /= 62) {
                path += kAlphabet[bits % 62];
            }
        }
        const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ::close(fd);
            ++made;
            if (!keep) {
                ::unlink(path.c_str());
            }
        }
    }
    writeLine(STDOUT_FILENO, "planted " + std::to_string(made));
    return 0;
}

int leave(const std::string& prefix, std::size_t count) {
    const std::string folder = std::string(interprocess::SharedRecordQueue::kDirectory) + "/";
    std::size_t made = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int fd = ::open((folder + prefix + std::to_string(i)).c_str(),
                              O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ::close(fd);
            ++made;
        }
    }
    writeLine(STDOUT_FILENO, "left " + std::to_string(made));
    return 0;
}

int keepNames(const std::string& queue, uid_t uid, std::size_t count, bool colliding,
              Clock::duration duration) {
    const std::string folder = std::string(interprocess::SharedRecordQueue::kDirectory) + "/";
    auto names = chooseNames(interprocess::UserInboxes::prefixFor(queue, uid), count, colliding);
    for (auto& name : names) {
        name.insert(0, folder);
    }
    writeLine(STDOUT_FILENO, "ready");
    const auto end = Clock::now() + duration;
    std::size_t made = 0;
    for (std::size_t i = 0;; ++i) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (i % 256 == 0 && (Clock::now() >= end || ::poll(&input, 1, 0) != 0)) {
            break;
        }
        const int fd =
            ::open(names[i % names.size()].c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ::close(fd);
            ++made;
        }
    }
    writeLine(STDOUT_FILENO, "kept " + std::to_string(made));
    return 0;
}

int hold(const std::string& queue, int inboxes, int records) {
    const std::string text = dataText("filler");
    const auto record = interprocess::DataLinkRecord{"Attended", kRootKind, false, 1, false, false,
                                                     {text.begin(), text.end()}}
                            .encode();
    std::vector<std::unique_ptr<interprocess::SharedRecordQueue>> held;
    for (int i = 0; i < inboxes; ++i) {
        std::string name;
        std::string error;
        auto inbox = interprocess::UserInboxes::make(
            queue, interprocess::AsynchronousDataLink::kMaxMsgCount,
            interprocess::AsynchronousDataLink::kMaxMsgSize, name, error);
        if (!inbox) {
            writeLine(STDOUT_FILENO, "failed " + error);
            return 1;
        }
        for (int r = 0; r < records; ++r) {
            inbox->push(record.data(), record.size());
        }
        held.push_back(std::move(inbox));
    }
    writeLine(STDOUT_FILENO, "ready");
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

}  // namespace ipcbench
