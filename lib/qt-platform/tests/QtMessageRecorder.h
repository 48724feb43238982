#pragma once

#include <QtGlobal>
#include <mutex>
#include <string>
#include <vector>

// Collects the Qt messages issued while it exists, as "[ category ] text"
// with their type, in place of the process's message handler.
class QtMessageRecorder {
public:
    struct Message {
        QtMsgType type;
        std::string category;
        std::string text;
    };

    QtMessageRecorder();
    ~QtMessageRecorder();

    std::vector<Message> messages() const;
    // How many messages have exactly this text (any category).
    int count(const std::string& text) const;
    bool contains(const std::string& text) const { return count(text) > 0; }
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text);

    QtMessageHandler previous_;
};
