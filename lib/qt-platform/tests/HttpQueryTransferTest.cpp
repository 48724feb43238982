#include "HttpQueryTransferFixture.h"

namespace {

// A download is complete when it is reported, its progress ends at the total (unknown until
// then without a length); a failed one ends with one error and failure, the file it would have
// replaced left as it was and nothing beside it (a device, or a link to one, is written where it
// is). Only a 2xx with a body replaces the file: an answer that Qt takes without an error but is
// not the resource (a 1xx, a 3xx not followed) fails, a 204 (size -1) leaves the file as it was,
// and the body of any other answer is dropped as it comes, never written. The file beside the
// target is its owner's alone while it is written (seen by the server as the request comes) and
// gets at the end the mode of the file it replaces, one of the caller's, or else the usual mode
// of a new file. A write that fails ends the transfer at once, whatever is still to come.
TEST_F(HttpQueryTransferTest, DownloadsAreCompleteWhenReportedOrEndWithOneError) {
    constexpr long long kLarge = 50LL * 1024 * 1024, kSmall = 300 * 1024;
    writeTestFile(root() + "/large.bin", kLarge);
    writeTestFile(root() + "/small.bin", kSmall, 7);
    writeTestFile(root() + "/medium.bin", 2 * 1024 * 1024, 4);
    writeTestFile(root() + "/null.bin", kSmall, 5);
    writeTestFile(root() + "/long.bin", kSmall, 6);
    writeTestFile(scratch() + "/existing.bin", 900 * 1024, 9);
    const std::string existing = scratch() + "/existing.bin", secret = scratch() + "/secret.bin",
                      full = "/dev/full", nospace = std::strerror(ENOSPC);
    ASSERT_EQ(0, ::chmod(existing.c_str(), 0604));
    ASSERT_TRUE(std::ofstream(secret) << "secret");
    ASSERT_EQ(0, ::chmod(secret.c_str(), 0600));
    ASSERT_EQ(0, ::symlink("/dev/null", (scratch() + "/null link").c_str()));
    ASSERT_EQ(0, ::symlink(existing.c_str(), (scratch() + "/file link").c_str()));
    const mode_t usual = 0666 & ~common::TargetEntry::currentUmask();
    startServer();
    StreamingServer cut([](StreamingServer::Connection& peer) {
        peer.send(StreamingServer::head("Content-Length: 300000\r\n") + std::string(280000, 'c'));
    });
    // 1 MiB of 10, then nothing more until the server stops.
    StreamingServer stalled([](StreamingServer::Connection& peer) {
        peer.send(StreamingServer::head("Content-Length: 10485760\r\n") +
                  std::string(1 << 20, 's')) &&
            peer.pause(1h);
    });
    StreamingServer statuses(StreamingServer::answerWithStatus);
    // Sends small.bin once it has seen the modes of the files beside the targets.
    std::mutex seenMutex;
    std::vector<unsigned> modesSeen;
    StreamingServer watched([&](StreamingServer::Connection& peer) {
        for (const auto& name : namesIn(scratch())) {
            struct stat status {};
            if (name[0] == '.' && ::stat((scratch() + "/" + name).c_str(), &status) == 0) {
                std::lock_guard lock(seenMutex);
                modesSeen.push_back(status.st_mode & 07777);
            }
        }
        const std::string body = testsupport::readFile(root() + "/small.bin");
        peer.send(StreamingServer::head("Content-Length: " + std::to_string(body.size()) + "\r\n") +
                  body);
    });
    struct Case {
        std::string path, target;
        long long size;
        int error;
        std::string reason;
        unsigned mode = 0;  // of the target after a success (0: a device, or a link to one)
    };
    const Case cases[] = {
        {"/files/large.bin", scratch() + "/large copy.bin", kLarge, 0, "", usual},
        {"/chunked/small.bin", existing, kSmall, 0, "", 0604},  // replaces a larger one
        {watched.url("/small.bin"), secret, kSmall, 0, "", 0600},
        {"/files/null.bin", scratch() + "/null link", kSmall, 0, ""},
        {"/files/long.bin", scratch() + "/" + std::string(255, 'n'), kSmall, 0, "", usual},
        {"/files/small.bin", scratch() + "/no/such/folder/x", 0, IHttpQuery::ContentAccessDenied,
         std::strerror(ENOENT)},
        {"/files/small.bin", scratch() + "/file link", 0, IHttpQuery::ContentAccessDenied,
         "a link to a regular file is refused"},
        {"/files/small.bin", full, 0, IHttpQuery::ContentAccessDenied, nospace},   // at the end
        {"/files/medium.bin", full, 0, IHttpQuery::ContentAccessDenied, nospace},  // on the way
        {stalled.url("/stalled"), full, 0, IHttpQuery::ContentAccessDenied, nospace},
        {"/files/none.bin", scratch() + "/none.bin", 0, IHttpQuery::ContentNotFoundError, ""},
        {"/files/none.bin", existing, 0, IHttpQuery::ContentNotFoundError, ""},
        {"http://127.0.0.1:" + std::to_string(unusedPort()) + "/", existing, 0,
         IHttpQuery::ConnectionRefusedError, ""},
        {cut.url("/cut"), existing, 0, IHttpQuery::RemoteHostClosedError, ""},
        {"file://" + root() + "/small.bin", existing, 0, IHttpQuery::ProtocolUnknownError, ""},
        {statuses.url("/300"), existing, 0, IHttpQuery::ProtocolFailure, ""},
        {statuses.url("/101"), existing, 0, IHttpQuery::ProtocolFailure, ""},
        {statuses.url("/304"), existing, 0, IHttpQuery::ProtocolFailure, ""},
        {statuses.url("/204"), existing, -1, 0, ""},
        {statuses.url("/204"), scratch() + "/none.bin", -1, 0, ""},
        // A 404's page of 1 MiB would not fit on the device.
        {statuses.url("/404/big"), full, 0, IHttpQuery::ContentNotFoundError, ""},
    };
    for (const auto& [path, target, size, error, reason, mode] : cases) {
        SCOPED_TRACE(path + " to " + target.substr(0, 300));
        const auto before = std::make_pair(stateOf(target), namesIn(scratch()));
        QueryOutcome outcome;
        const auto [events, sizeWhenFinished, fileError] = download(path, target, outcome);
        EXPECT_EQ(outcomeOf(error), events);
        EXPECT_EQ(reason, fileError);
        if (error || mode == 0) {
            // Left as it was; what is written where it is stays too.
            EXPECT_EQ(before, std::make_pair(stateOf(target), namesIn(scratch())));
        }
        if (error || size < 0) {
            continue;
        }
        const auto progress = outcome.downloads();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(size, progress.back().done);
        EXPECT_EQ(size, progress.back().total);
        if (mode != 0) {
            EXPECT_EQ(size, sizeWhenFinished) << "the file must be complete when the handler runs";
            EXPECT_EQ(fileSha256(root() + "/" + path.substr(path.rfind('/') + 1)),
                      fileSha256(target));
            struct stat status {};
            EXPECT_EQ(0, ::lstat(target.c_str(), &status));
            EXPECT_EQ(mode, status.st_mode & 07777) << std::oct << "mode 0" << mode << " wanted, 0"
                                                    << (status.st_mode & 07777) << " seen";
        }
        if (path.find("://") != std::string::npos) continue;  // not the test web server's
        for (std::size_t i = 0; i + 1 < progress.size(); ++i) {
            EXPECT_EQ(target, progress[i].filePath);
            EXPECT_EQ(path[1] == 'f' ? size : -1, progress[i].total);
            EXPECT_LE(progress[i].done, progress[i + 1].done);
        }
        const auto seen = requests(path);
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ("GET", seen[0].value("method").toString());
        EXPECT_EQ(0, seen[0].value("size").toInt());
    }
    EXPECT_EQ(1u, requests("/files/small.bin").size())
        << "a file that cannot be opened sends nothing";
    EXPECT_EQ(std::vector<unsigned>{0600}, modesSeen) << "the file beside the target, written";
}

// In a shared folder (sticky and writable by every user, as /tmp), what another user (65534,
// through setpriv) put at the target's name is refused before the request, whatever it is: a
// file (whose mode the new file would take, so that its planter could write into it as it is
// downloaded), a FIFO that its planter reads, or a link. The caller's own entries are written as
// anywhere, and so are those of the folder's owner; a file of another user is replaced by one of
// the usual mode, never given that user's mode.
TEST_F(HttpQueryTransferTest, AnotherUsersEntryInASharedFolderIsRefusedBeforeTheRequest) {
    const testsupport::SharedFolder rootsFolder, nobodysFolder(65534);
    if (!rootsFolder.usable() || !nobodysFolder.usable()) {
        GTEST_SKIP() << rootsFolder.why() << nobodysFolder.why();
    }
    writeTestFile(root() + "/shared.bin", 100 * 1024, 3);
    const std::string body = testsupport::readFile(root() + "/shared.bin");
    const mode_t usual = 0666 & ~common::TargetEntry::currentUmask();
    const std::string planted = "printf planted >\"$0/out\"; chmod 666 \"$0/out\"";
    startServer();
    struct Case {
        const char* what;
        const testsupport::SharedFolder& folder;
        std::string plant;       // run as user 65534, $0 the folder; empty: the test's own FIFO
        std::string reason;      // the start of the refusal; empty: the download succeeds
        char kind;               // what "out" is after: 'f' a file, 'p' a FIFO, 'l' a link
        std::string holds = "";  // a file's content, or what came out of a FIFO
        unsigned mode = 0;       // a file's mode
        uid_t owner = 0;         // a file's owner
    };
    const Case cases[] = {
        {"another user's file", rootsFolder, planted, "another user's file (uid 65534) in a shared",
         'f', "planted", 0666, 65534},
        {"another user's FIFO", rootsFolder, "mkfifo -m 666 \"$0/out\"",
         "another user's FIFO (uid 65534) in a shared", 'p'},
        {"another user's link", rootsFolder, "ln -s /dev/null \"$0/out\"",
         "another user's link (uid 65534) in a shared", 'l'},
        {"the caller's own FIFO", rootsFolder, "", "", 'p', body},
        {"a link of the folder's owner", nobodysFolder, "ln -s /dev/null \"$0/out\"", "", 'l'},
        {"a file of the folder's owner", nobodysFolder, planted, "", 'f', body, usual, 0},
    };
    std::size_t sent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string target = c.folder.file("out");
        ASSERT_TRUE(c.plant.empty() ? ::mkfifo(target.c_str(), 0600) == 0
                                    : c.folder.plant(c.plant));
        std::unique_ptr<testsupport::FifoDrain> reader;
        if (c.kind == 'p') {
            reader = std::make_unique<testsupport::FifoDrain>(target);
            ASSERT_TRUE(reader->opened());
        }
        QueryOutcome outcome;
        const auto [events, size, fileError] = download("/files/shared.bin", target, outcome);
        sent += c.reason.empty() ? 1 : 0;
        EXPECT_EQ(outcomeOf(c.reason.empty() ? 0 : IHttpQuery::ContentAccessDenied), events);
        EXPECT_TRUE(c.reason.empty() ? fileError.empty() : fileError.rfind(c.reason, 0) == 0)
            << fileError;
        EXPECT_EQ(sent, requests("/files/shared.bin").size()) << "sent before the refusal";
        struct stat status {};
        ASSERT_EQ(0, ::lstat(target.c_str(), &status));
        EXPECT_EQ(c.kind, S_ISREG(status.st_mode) ? 'f' : S_ISFIFO(status.st_mode) ? 'p' : 'l');
        if (c.kind == 'f') {
            EXPECT_TRUE(c.holds == testsupport::readFile(target)) << "the file differs";
            EXPECT_EQ(c.mode, status.st_mode & 07777) << std::oct << status.st_mode;
            EXPECT_EQ(c.owner, status.st_uid);
        } else if (reader) {
            EXPECT_TRUE(c.holds == reader->Finish()) << "the FIFO gave another body";
        }
        EXPECT_EQ(std::set<std::string>{"out"}, namesIn(c.folder.path()));
        std::filesystem::remove(target);
    }
}

// A download file that takes fewer bytes than were written to it (here the last byte passes the
// process's file size limit, so the last write is cut short) fails the transfer, as a full disk
// does, with the reason, and the file it would have replaced stays. The limit is set in a child
// process of its own, which leaves no folder behind.
TEST_F(HttpQueryTransferTest, AFileThatTakesFewerBytesThanWrittenFailsTheDownload) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr std::size_t kSize = 300 * 1024;
    const std::string children = scratch() + "/children";
    std::filesystem::create_directory(children);
    environment_.set("TMPDIR", children);
    const auto downloadUnderLimit = [this](rlim_t limit) {
        // The child's own copies of the fixture's folders: it ends without their destructors.
        struct Removed {
            std::vector<std::string> folders;
            void now() {
                std::error_code error;
                for (const auto& folder : folders) std::filesystem::remove_all(folder, error);
            }
            ~Removed() { now(); }
        } folders{{root(), scratch()}};
        const std::string body(kSize, 'w');
        StreamingServer server([&](StreamingServer::Connection& peer) {
            peer.send(StreamingServer::head("Content-Length: " + std::to_string(kSize) + "\r\n") +
                      body);
        });
        startPlatform();
        std::ofstream(scratch() + "/cut.bin") << "old";
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit bound{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &bound);
        QueryOutcome outcome;
        const auto [events, size, reason] =
            download(server.url("/cut"), scratch() + "/cut.bin", outcome);
        std::string text;
        for (const auto& event : events) text += event + " ";
        const auto names = namesIn(scratch()).size();
        folders.now();
        std::fprintf(stderr, "events: %sfile: %lld (%s), files: %zu\n", text.c_str(), size,
                     reason.c_str(), names);
        std::fflush(nullptr);
        std::_Exit(0);
    };
    EXPECT_EXIT(downloadUnderLimit(kSize - 1), testing::ExitedWithCode(0),
                "events: error:19 finished:0 file: 3 \\(File too large\\), files: 2");
    EXPECT_EXIT(downloadUnderLimit(kSize), testing::ExitedWithCode(0),
                "events: finished:1 file: 307200 \\(\\), files: 2");
    EXPECT_TRUE(std::filesystem::is_empty(children)) << "the children left their folders";
}

TEST_F(HttpQueryTransferTest, UploadArrivesWithItsNameTypeAndLengthOrFailsAtOnce) {
    const std::string source = scratch() + "/my upload.bin";
    constexpr long long kSize = 3 * 1024 * 1024 + 17;
    writeTestFile(source, kSize, 11);
    startServer();
    startPlatform();
    QtMessageRecorder log;
    // Only to http and https: Qt would write the file of a file: URL.
    const std::string local = "file://" + scratch() + "/put.bin";
    for (const auto& [path, to] : {std::pair(std::string(), url("/echo/upload")),
                                   {scratch() + "/missing.bin", url("/echo/upload")},
                                   {source, local},
                                   {source, url("/echo/upload")}}) {
        SCOPED_TRACE(path + " to " + to);
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request, true);
        request->setUrl(to);
        request->setContentType("text/plain");
        request->setOperation(IHttpQuery::POST);
        request->setBody("not sent");
        request->transferFile(path);
        ASSERT_TRUE(runUntilFinished(outcome, 60s));
        if (path != source || to == local) {
            EXPECT_EQ(outcomeOf(to == local ? IHttpQuery::ProtocolUnknownError
                                            : IHttpQuery::ContentNotFoundError),
                      outcome.events());
            EXPECT_FALSE(std::filesystem::exists(scratch() + "/put.bin"));
            continue;
        }
        EXPECT_EQ(Events{"finished:1"}, outcome.events());
        // The server's answer is collected as for any request.
        EXPECT_NE(std::string::npos, request->getResponseText().find("\"/echo/upload\""));
        // Progress climbs to the total; Qt closes an upload with a last record of 0 of 0, which
        // is handed on as it comes.
        long long highest = 0;
        for (const auto& record : outcome.uploads()) {
            EXPECT_EQ(source, record.filePath);
            EXPECT_TRUE(record.total == 0 || (record.total == kSize && highest <= record.done));
            highest = std::max<long long>(highest, record.done);
        }
        EXPECT_EQ(kSize, highest);
    }
    EXPECT_EQ(1, log.count("File path is empty in transfer file."));
    const auto seen = requests("/echo/upload");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("PUT", seen[0].value("method").toString());
    EXPECT_EQ("attachment; filename=\"my upload.bin\"", header(seen[0], "Content-Disposition"));
    EXPECT_EQ("application/octet-stream", header(seen[0], "Content-Type"));
    EXPECT_EQ(std::to_string(kSize), header(seen[0], "Content-Length"));
    EXPECT_EQ(fileSha256(source), seen[0].value("sha256").toString().toStdString());
}

// Each answer is streamed with a 4 MiB body limit, and the slow ones with a transfer time-out of
// 1 KiB/s looked at every 500 ms: a body over the limit fails and leaves nothing held, a stalled
// transfer times out, a slow live one does not. (Inflating a bomb can keep the Qt thread busy
// for longer than a period on a loaded machine, so the body rows keep the default time-out.)
TEST_F(HttpQueryTransferTest, ABodyOverTheLimitOrAStalledTransferFails) {
    constexpr std::size_t kLimit = 4 * 1024 * 1024;
    using Connection = StreamingServer::Connection;
    const auto serve = [](std::string headers, std::string body) {
        return [headers, body](Connection& peer) {
            const auto length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
            peer.send(StreamingServer::head(headers + length)) && peer.send(body);
        };
    };
    const auto trickle = [](std::size_t bytes) {
        return [bytes](Connection& peer) {
            bool open = peer.send(StreamingServer::head("Content-Length: 40000\r\n"));
            while (open) open = peer.pause(100ms) && peer.send(std::string(bytes, 'x'));
        };
    };
    // `size` zeros in the deflate encoding of HTTP (a zlib stream).
    const auto deflatedZeros = [](int size) {
        return qCompress(QByteArray(size, '\0'), 9).mid(4).toStdString();
    };
    const std::tuple<const char*, StreamingServer::Script, int, bool> cases[] = {
        {"0xFF bytes over the limit", serve("", std::string(4 * kLimit, '\xff')), 26, false},
        {"deflate bomb", serve("Content-Encoding: deflate\r\n", deflatedZeros(16 * kLimit)), 26,
         false},
        {"exactly the limit", serve("", std::string(kLimit, '\xff')), 0, false},
        {"silent", [](Connection& peer) { peer.pause(1h); }, 4, true},
        {"a byte every 100 ms", trickle(1), 4, true},
        {"4 KiB every 100 ms", trickle(4000), 0, true},
    };
    startPlatform();
    for (const auto& [what, script, error, slow] : cases) {
        SCOPED_TRACE(what);
        StreamingServer server(script);
        auto request = query();
        request->setMaximumBodySize(kLimit);
        if (slow) request->setTransferTimeout(500, 1024);
        QueryOutcome outcome;
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(executeAndWait(*request, outcome, server.url("/package")));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        EXPECT_EQ(outcomeOf(error), outcome.events());
        EXPECT_TRUE(error != 26 || request->getResponseData().capacity() == 0)
            << "held after failing";
        EXPECT_TRUE(error == 4 || (error != 0) == request->getResponseText().empty());
    }
}

// While the Qt thread is held up, Qt reads no further ahead of the query than its read buffer
// (and the sockets' own buffers): the server can send only so much meanwhile. The read buffer's
// size must reach Qt's network thread: one set on the reply too early is dropped there.
TEST_F(HttpQueryTransferTest, QtReadsOnlyALittleAheadOfTheQuery) {
    constexpr long long kSize = 192LL << 20, kBlock = 64 << 10;
    std::atomic<long long> sent{0};
    StreamingServer server([&](StreamingServer::Connection& peer) {
        bool open = peer.send(
            StreamingServer::head("Content-Length: " + std::to_string(kSize) + "\r\n"));
        const std::string block(kBlock, 'b');
        for (long long at = 0; open && at < kSize; at += kBlock) {
            open = peer.send(block);
            sent += kBlock;
        }
    });
    for (const bool toFile : {false, true}) {
        SCOPED_TRACE(toFile ? "download" : "execute");
        startPlatform();
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request);
        request->setUrl(server.url("/big"));
        if (toFile) {
            request->downloadFile(scratch() + "/big.bin");
        } else {
            request->execute();
        }
        // Held on the Qt thread for a second, once the body flows and the reply has its read
        // buffer's size.
        auto* manager = platform_->internals().networkAccessManager();
        std::atomic<long long> sentWhileHeld{-1};
        const auto holdOnceSized = [&] {
            const auto replies = manager->findChildren<QNetworkReply*>();
            if (sent < (4LL << 20) ||
                std::none_of(replies.begin(), replies.end(),
                             [](QNetworkReply* reply) { return reply->readBufferSize() > 0; })) {
                return;
            }
            const long long before = sent;
            std::this_thread::sleep_for(1s);
            sentWhileHeld = sent - before;
        };
        ASSERT_TRUE(scheduler_.runUntil(
            [&] {
                if (sentWhileHeld < 0) {
                    QMetaObject::invokeMethod(manager, holdOnceSized, Qt::BlockingQueuedConnection);
                }
                return sentWhileHeld >= 0;
            },
            30s));
        EXPECT_LT(sentWhileHeld, 32LL << 20) << "bytes sent while the Qt thread was held up";
        request->abort();
        EXPECT_TRUE(runUntilFinished(outcome));
        request.reset();
        platform_.reset();
        sent = 0;
    }
}

// A body without a length (chunked, or ended by the close) is gathered in pieces and joined at
// the end: every byte arrives, in order, whatever the sizes of the pieces, and the text is made
// from the whole.
TEST_F(HttpQueryTransferTest, BodiesWithoutALengthArriveWhole) {
    const std::size_t sizes[] = {0, 1, 64 * 1024 - 1, 64 * 1024 + 1, 3 * 1024 * 1024 + 17};
    std::mt19937 random(5);
    std::map<std::size_t, std::string> bodies;
    for (const std::size_t size : sizes) {
        std::string& body = bodies[size];
        for (std::size_t i = 0; i < size; ++i) body += char('a' + random() % 26);
        ASSERT_TRUE(std::ofstream(root() + "/body" + std::to_string(size)) << body);
    }
    startServer();
    for (const bool chunked : {true, false}) {
        for (const std::size_t size : sizes) {
            SCOPED_TRACE((chunked ? "chunked, " : "ended by the close, ") + std::to_string(size));
            const std::string& body = bodies[size];
            StreamingServer closing([&](StreamingServer::Connection& peer) {
                peer.send(StreamingServer::head("")) && peer.send(body.substr(0, size / 2)) &&
                    peer.pause(50ms) && peer.send(body.substr(size / 2));
            });
            auto request = query();
            QueryOutcome outcome;
            ASSERT_TRUE(executeAndWait(*request, outcome,
                                       chunked ? url("/chunked/body" + std::to_string(size))
                                               : closing.url("/body")));
            EXPECT_EQ(Events{"finished:1"}, outcome.events());
            const auto& data = request->getResponseData();
            EXPECT_TRUE(std::string(data.begin(), data.end()) == body) << data.size() << " bytes";
            EXPECT_TRUE(request->getResponseText() == body)
                << request->getResponseText().size() << " bytes of text";
        }
    }
}

}  // namespace
