#pragma once

#include <QString>
#include <QtGlobal>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Collects the Qt messages issued while it exists, in place of the process's message handler.
class QtMessageRecorder {
public:
    QtMessageRecorder() : previous_(qInstallMessageHandler(&record)) {}
    ~QtMessageRecorder() {
        qInstallMessageHandler(previous_);
        clear();
    }

    // How many messages contain `part` (and are of `category`, when one is given).
    int count(const std::string& part, const std::string& category = {}) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& [from, text] : messages_) {
            n += (category.empty() || from == category) && text.find(part) != std::string::npos;
        }
        return n;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }

private:
    static void record(QtMsgType, const QMessageLogContext& context, const QString& text) {
        std::lock_guard lock(mutex_);
        messages_.emplace_back(context.category ? context.category : "", text.toStdString());
    }

    inline static std::mutex mutex_;
    inline static std::vector<std::pair<std::string, std::string>> messages_;
    QtMessageHandler previous_;
};
