#pragma once

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <zlib.h>
#include <thread>

#include "common/utils/TargetEntry.h"
#include "support/Compressed.h"
#include "support/FifoDrain.h"
#include "support/SharedFolder.h"
#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"
#include "HttpQuery.h"
#include "QtHandle.h"
#include "QtMessageRecorder.h"
#include "ScriptedManager.h"
#include "StreamingServer.h"

// What the transfer and answer tests share: a download into a file and what the folder holds
// before and after.
class HttpQueryTransferTest : public HttpQueryFixture {
protected:
    // Downloads `path` (of the test web server, or a whole URL) into `target` as a POST with a
    // body (a download is always a GET without one); returns the outcome's events, the size
    // of the target when the finished handler ran (-1: none) and the file's error.
    std::tuple<Events, long long, std::string> download(const std::string& path,
                                                        const std::string& target,
                                                        QueryOutcome& outcome) {
        long long sizeWhenFinished = -1;
        auto request = query();
        outcome.onFinished = [&] {
            if (QFileInfo::exists(target.c_str()))
                sizeWhenFinished = QFileInfo(target.c_str()).size();
        };
        outcome.watch(*request, true);
        request->setUrl(path.find("://") != path.npos ? path : url(path));
        request->setOperation(IHttpQuery::POST);
        request->setBody("not sent");
        request->downloadFile(target);
        EXPECT_TRUE(runUntilFinished(outcome, 60s));
        EXPECT_TRUE(request->getResponseData().empty() && request->getResponseText().empty());
        // Nothing more comes later.
        std::this_thread::sleep_for(100ms);
        scheduler_.runPending();
        return {outcome.events(), sizeWhenFinished, request->downloadFileError()};
    }
    // What is at `path`: the SHA-256 of a regular file, "none", or "other".
    static std::string stateOf(const std::string& path) {
        const auto type = std::filesystem::symlink_status(path).type();
        return type == std::filesystem::file_type::regular     ? fileSha256(path)
               : type == std::filesystem::file_type::not_found ? "none"
                                                               : "other";
    }
    // The names in `folder`.
    static std::set<std::string> namesIn(const std::string& folder) {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            names.insert(entry.path().filename());
        return names;
    }
};
