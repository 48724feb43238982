#include "FakeTaskScheduler.h"

#include <atomic>
#include <thread>

namespace {

class FakeTaskQueue : public common::ITaskQueue {
public:
    FakeTaskQueue(FakeTaskScheduler& scheduler, std::string name)
        : scheduler_(scheduler), name_(std::move(name)) {}
    ~FakeTaskQueue() override {
        if (!finished_) {
            finish([](bool&, unsigned long) {}, false);
        }
    }

    std::string name() const override { return name_; }
    std::size_t push(const Task task, const std::chrono::milliseconds&,
                     const TaskPriority) override {
        return finished_ ? kInvalidTaskId : scheduler_.push(name_, task);
    }
    std::size_t push(const Task task, const TaskPriority) override {
        return finished_ ? kInvalidTaskId : scheduler_.push(name_, task);
    }
    void runTasks(std::function<bool()> keepGoing, bool) override {
        while (keepGoing() && scheduler_.hasTasks(name_)) {
            scheduler_.runOne(name_, true);
        }
    }
    void finish(Task callback, bool dropPending) override {
        if (finished_) {
            return;
        }
        finished_ = true;
        scheduler_.finishQueue(name_, callback, dropPending);
    }
    bool hasTasks() override { return scheduler_.hasTasks(name_); }
    void setDebugAssertOnNextPush() override {}

private:
    FakeTaskScheduler& scheduler_;
    const std::string name_;
    std::atomic<bool> finished_{false};
};

}  // namespace

std::unique_ptr<common::ITaskQueue> FakeTaskScheduler::createQueue(const std::string& name) {
    std::lock_guard lock(mutex_);
    ++live_[name];
    return std::make_unique<FakeTaskQueue>(*this, name);
}

std::size_t FakeTaskScheduler::push(const std::string& queue, common::ITaskQueue::Task task) {
    std::lock_guard lock(mutex_);
    const unsigned long id = nextId_++;
    tasks_.push_back({queue, std::move(task), id});
    return id;
}

bool FakeTaskScheduler::runFirst(const std::string& queue) {
    Entry entry;
    {
        std::lock_guard lock(mutex_);
        auto found = tasks_.begin();
        while (found != tasks_.end() && !queue.empty() && found->queue != queue) {
            ++found;
        }
        if (found == tasks_.end()) {
            return false;
        }
        entry = std::move(*found);
        tasks_.erase(found);
    }
    bool reschedule = false;
    entry.task(reschedule, entry.id);
    if (reschedule) {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(entry));
    }
    return true;
}

void FakeTaskScheduler::process(std::function<bool()> keepGoing) {
    while (keepGoing() && runFirst({})) {
    }
}

void FakeTaskScheduler::runOne(const std::string& queueName, bool) {
    runFirst(queueName);
}

std::size_t FakeTaskScheduler::taskCount() {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

bool FakeTaskScheduler::hasTasks(const std::string& queue) {
    std::lock_guard lock(mutex_);
    for (const auto& entry : tasks_) {
        if (entry.queue == queue) {
            return true;
        }
    }
    return false;
}

bool FakeTaskScheduler::runUntil(const std::function<bool()>& condition,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (!runFirst({})) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

void FakeTaskScheduler::runPending() {
    for (std::size_t count = taskCount(); count > 0; --count) {
        runFirst({});
    }
}

std::vector<std::string> FakeTaskScheduler::liveQueues() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, count] : live_) {
        for (int i = 0; i < count; ++i) {
            names.push_back(name);
        }
    }
    return names;
}

void FakeTaskScheduler::finishQueue(const std::string& queue,
                                    const common::ITaskQueue::Task& callback, bool dropPending) {
    if (dropPending) {
        std::lock_guard lock(mutex_);
        std::erase_if(tasks_, [&](const Entry& entry) { return entry.queue == queue; });
    } else {
        while (runFirst(queue)) {
        }
    }
    if (callback) {
        bool reschedule = false;
        callback(reschedule, 0);
    }
    std::lock_guard lock(mutex_);
    if (--live_[queue] <= 0) {
        live_.erase(queue);
    }
}
