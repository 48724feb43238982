#include "QtMessageRecorder.h"

#include <QString>

namespace {

std::mutex recordMutex;
std::vector<QtMessageRecorder::Message> recorded;

}  // namespace

QtMessageRecorder::QtMessageRecorder() {
    clear();
    previous_ = qInstallMessageHandler(&QtMessageRecorder::handler);
}

QtMessageRecorder::~QtMessageRecorder() {
    qInstallMessageHandler(previous_);
}

void QtMessageRecorder::handler(QtMsgType type, const QMessageLogContext& context,
                                const QString& text) {
    std::lock_guard lock(recordMutex);
    recorded.push_back({type, context.category ? context.category : "", text.toStdString()});
}

std::vector<QtMessageRecorder::Message> QtMessageRecorder::messages() const {
    std::lock_guard lock(recordMutex);
    return recorded;
}

int QtMessageRecorder::count(const std::string& text) const {
    std::lock_guard lock(recordMutex);
    int n = 0;
    for (const auto& message : recorded) {
        if (message.text == text) {
            ++n;
        }
    }
    return n;
}

void QtMessageRecorder::clear() {
    std::lock_guard lock(recordMutex);
    recorded.clear();
}
