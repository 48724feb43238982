#pragma once

#include <QNetworkAccessManager>

#include <utility>
#include <vector>

#include "ScriptedReply.h"

// A network access manager whose every request is answered by a reply with `script`.
class ScriptedManager : public QNetworkAccessManager {
public:
    explicit ScriptedManager(std::vector<ReplyStep> script) : script_(std::move(script)) {}

protected:
    QNetworkReply* createRequest(Operation, const QNetworkRequest& request, QIODevice*) override {
        return new ScriptedReply(request, script_, this);
    }

private:
    const std::vector<ReplyStep> script_;
};
