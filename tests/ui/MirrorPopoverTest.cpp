#include "UiTestSupport.h"
#include "common/Settings.h"
#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/FixedUsage.h"
#include "ui/MirrorPopoverController.h"
#include "ui/MirrorView.h"

#include <QSlider>

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

class MirrorPopover : public testing::Test {
protected:
    void SetUp() override {
        Settings::clear();
        service->setUsage(usage);
        popover.toggle(QRect());
    }
    // The scene for a clock that reports `effective` and `showing`, with the agents' data
    // rescanned first.
    MirrorView& show(const QString& effective, const QString& showing) {
        clock->advance(10);
        service->snapshot(true);
        DeviceInfo info;
        info.effective = effective;
        info.showing = showing;
        popover.handleInfo(info);
        return *popover.view();
    }

    std::shared_ptr<test::FakeClock> clock = std::make_shared<test::FakeClock>();
    std::shared_ptr<test::ScriptedStatusService> service =
        std::make_shared<test::ScriptedStatusService>(clock);
    std::shared_ptr<test::FixedUsage> usage = std::make_shared<test::FixedUsage>();
    MirrorPopoverController popover{service, nullptr, nullptr, nullptr, clock};
};

TEST_F(MirrorPopover, SceneFollowsWhatTheClockShows) {
    const struct {
        QString effective, showing;
        bool net, music, btc;
        double ring;
        QuotaBorderLevel level;
        QString line1, line2;
    } rows[] = {
        {"net", "claude", true, false, false, 0, QuotaBorderLevel::green, "", ""},
        {"music", "claude", false, true, false, 0, QuotaBorderLevel::green, "", ""},
        {"btc", "claude", false, false, true, 0, QuotaBorderLevel::green, "", ""},
        // Claude without a five-hour figure: 150 of 300 session minutes.
        {"auto", "claude", false, false, false, 50, QuotaBorderLevel::green, "50%", "81%"},
        {"codex", "codex", false, false, false, 74.9, QuotaBorderLevel::yellow, "Weekly", "74%"},
        {"auto", "kimi", false, false, false, 30, QuotaBorderLevel::red, "5h 30%", "Weekly 80%"},
    };
    service->claude.sessionMin = 150;
    usage->claude.weeklyPct = 81.7;
    service->codex.weeklyPct = 74.9;
    usage->kimi.primaryPct = 30;
    usage->kimi.weeklyPct = 80;
    for (const auto& row : rows) {
        MirrorView& view = show(row.effective, row.showing);
        SCOPED_TRACE((row.effective + u'/' + row.showing).toStdString());
        EXPECT_EQ(std::tuple(view.netMode, view.musicMode, view.btcMode),
                  std::tuple(row.net, row.music, row.btc));
        if (!row.net && !row.music && !row.btc) { // an agent's scene
            EXPECT_EQ(std::tuple(view.ringPct, view.ringLevel, view.line1, view.line2),
                      std::tuple(row.ring, row.level, row.line1, row.line2));
        }
    }
}

TEST_F(MirrorPopover, EnteringTheNetworkSceneClearsTheGraphs) {
    for (int round = 0; round < 2; ++round) {
        MirrorView& view = show("net", "codex");
        EXPECT_EQ(view.histRx, std::vector<double>(224, 0.0));
        view.pushNetSample(5000, 7000);
        show("net", "codex"); // staying in the scene keeps them
        EXPECT_EQ(view.histRx.back(), 5000);
        show("auto", "codex");
    }
}

TEST(MirrorPopoverText, Formats) {
    using C = MirrorPopoverController;
    EXPECT_EQ(C::dailyLine(999, 1.234), "TODAY 999  $1.23");
    EXPECT_EQ(C::dailyLine(1500, std::nullopt), "TODAY 1.5K  $?");
    EXPECT_EQ(C::dailyLine(2'000'000, 12), "TODAY 2.0M  $12.00");
    EXPECT_EQ(C::pctText(std::nullopt), "-");
    EXPECT_EQ(C::pctText(-1), "-");
    EXPECT_EQ(C::pctText(99.9), "99%");
    EXPECT_EQ(C::deviceSpeedText(999), "999B");
    EXPECT_EQ(C::deviceSpeedText(1500), "2K");
    EXPECT_EQ(C::deviceSpeedText(2'500'000), "2.5M");
}

TEST(MirrorPopoverBrightness, DragSendsAtMostFourTimesASecondAndTheFinalValueOnRelease) {
    test::FakeHttpServer device;
    device.setResponse("/api/brightness", {200, "ok"});
    Settings::setDeviceHost(device.baseUrl());
    auto clock = std::make_shared<test::FakeClock>();
    MirrorPopoverController popover(std::make_shared<StatusService>(clock), nullptr, nullptr, nullptr, clock);
    QSlider* slider = popover.brightnessSlider();
    slider->setSliderDown(true);
    for (int value = 50; value <= 65; ++value) { // one second of dragging, exact in binary
        clock->advance(0.0625);
        slider->setValue(value);
    }
    slider->setSliderDown(false);
    QList<QByteArray> sent;
    ASSERT_TRUE(test::waitUntil([&] {
        sent.clear();
        for (const auto& request : device.requests("/api/brightness"))
            sent << request.body;
        return sent.size() >= 5;
    }));
    std::sort(sent.begin(), sent.end()); // requests may overtake each other
    EXPECT_EQ(sent, (QList<QByteArray>{"level=50", "level=54", "level=58", "level=62", "level=65"}));
    Settings::clear();
}

} // namespace
