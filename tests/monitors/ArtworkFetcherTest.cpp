#include "monitors/ArtworkFetcher.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QUrl>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

class ArtworkFetcherTest : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer server;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    ArtworkFetcher fetcher{clock};

    QString fileUrl(const QString& path) { return QUrl::fromLocalFile(path).toString(); }
};

TEST_F(ArtworkFetcherTest, ReadsLocalFilesEveryTime) {
    const QString path = home.write("art/cover.png", "first");
    EXPECT_EQ(fetcher.fetch(fileUrl(path)), "first");
    home.write("art/cover.png", "second"); // players rewrite the same file for the next track
    EXPECT_EQ(fetcher.fetch(fileUrl(path)), "second");
}

TEST_F(ArtworkFetcherTest, RefusesWhatItCannotSafelyRead) {
    const QString big = home.write("big.png", QByteArray(ArtworkFetcher::maxBytes + 1, 'x'));
    const QString fifo = home.path() + "/fifo.png";
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const struct {
        const char* what;
        QString url;
    } cases[] = {
        {"empty", ""},
        {"missing file", fileUrl(home.path() + "/missing.png")},
        {"too large", fileUrl(big)},
        {"a FIFO would block", fileUrl(fifo)},
        {"a folder", fileUrl(home.path())},
        {"another scheme", "ftp://127.0.0.1/cover.png"},
        {"not a URL", "::::"},
        {"a bare path", home.write("plain.png", "bytes")},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(fetcher.fetch(c.url).isEmpty()) << c.what;
}

TEST_F(ArtworkFetcherTest, DownloadsOncePerUrl) {
    server.setResponse("/a.png", FakeResponse{200, "image-a"});
    server.setResponse("/b.png", FakeResponse{200, "image-b"});
    const QString a = server.baseUrl() + "/a.png";
    const QString b = server.baseUrl() + "/b.png";
    EXPECT_EQ(fetcher.fetch(a), "image-a");
    EXPECT_EQ(fetcher.fetch(a), "image-a");
    EXPECT_EQ(server.requests("/a.png").size(), 1);
    EXPECT_EQ(fetcher.fetch(b), "image-b");
    EXPECT_EQ(fetcher.fetch(a), "image-a");
    EXPECT_EQ(server.requests("/a.png").size(), 2);
    EXPECT_EQ(server.requests("/b.png").size(), 1);
}

TEST_F(ArtworkFetcherTest, FailedDownloadIsRetriedAfterAWhile) {
    server.setResponse("/a.png", FakeResponse{404, "gone"});
    const QString a = server.baseUrl() + "/a.png";
    EXPECT_TRUE(fetcher.fetch(a).isEmpty());
    clock->advance(ArtworkFetcher::retryAfter - 1);
    EXPECT_TRUE(fetcher.fetch(a).isEmpty());
    EXPECT_EQ(server.requests("/a.png").size(), 1);

    server.setResponse("/a.png", FakeResponse{200, "image-a"});
    clock->advance(1);
    EXPECT_EQ(fetcher.fetch(a), "image-a");
    EXPECT_EQ(server.requests("/a.png").size(), 2);
}

TEST_F(ArtworkFetcherTest, OversizedDownloadIsDropped) {
    server.setResponse("/huge.png", FakeResponse{200, QByteArray(ArtworkFetcher::maxBytes + 1, 'x')});
    EXPECT_TRUE(fetcher.fetch(server.baseUrl() + "/huge.png").isEmpty());
}

} // namespace
