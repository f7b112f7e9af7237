#include "pets/FakeCatalogue.h"
#include "ui/PetPickerWindow.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// One catalogue for the process: the service keeps the first manifest it loaded.
FakeCatalogue& catalogue() {
    static FakeCatalogue* fake = [] {
        auto* fake = new FakeCatalogue(R"([
            {"slug":"pikachu","displayName":"Pikachu","kind":"electric","spritesheetUrl":"SHEETS/pikachu.webp"},
            {"slug":"tiny","displayName":"Tiny","spritesheetUrl":"SHEETS/tiny.webp"},
            {"slug":"boba","spritesheetUrl":"SHEETS/boba.webp"},
            {"slug":"junk","displayName":"Junk","spritesheetUrl":"SHEETS/junk.webp"},
            {"slug":"apple","displayName":"Apple Pie","kind":"fruit","spritesheetUrl":"SHEETS/apple.webp"}])");
        const QByteArray sheet = webpSheet({1536, 1872});
        fake->setSheet("pikachu", sheet);
        fake->setSheet("apple", sheet);
        fake->setSheet("boba", sheet, 300);
        fake->setSheet("tiny", webpSheet({192, 208}));
        fake->setSheet("junk", "<html>");
        return fake;
    }();
    return *fake;
}

class PetPicker : public testing::Test {
protected:
    void SetUp() override {
        catalogue();
        picker.show();
        ASSERT_TRUE(statusBecomes("共 5 个桌宠，选择后可预览"));
    }

    QString status() const { return picker.findChild<QLabel*>("status")->text(); }
    // Turns the event loop until the status reads `text` (or, with `leave`, no longer does),
    // within a generous deadline.
    bool statusBecomes(const QString& text, bool leave = false) {
        for (QDeadlineTimer deadline(10000); (status() == text) == leave && !deadline.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return (status() == text) != leave;
    }
    QStringList rows() const {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text();
        return out;
    }
    void select(const QString& slug) {
        list->setCurrentRow(rows().indexOf(QRegularExpression(".*（" + slug + "[ ）].*")));
    }

    QList<std::pair<QString, std::function<void(std::optional<Error>)>>> uploads;
    PetPickerWindow picker{[this](const QByteArray& gif, const QString& slot, auto done) {
        uploads.append({slot + (gif.startsWith("GIF89a") ? " gif" : " ?"), done});
    }};
    QListWidget* list = picker.findChild<QListWidget*>();
    QComboBox* target = picker.findChild<QComboBox*>("target");
    QComboBox* state = picker.findChild<QComboBox*>("state");
    QPushButton* upload = picker.findChild<QPushButton*>();
};

TEST_F(PetPicker, FiltersBySlugOrNameInNameOrder) {
    const struct {
        QString search;
        QStringList rows;
    } cases[] = {
        {"",
         {"Apple Pie（apple · fruit）", "boba（boba）", "Junk（junk）", "Pikachu（pikachu · electric）",
          "Tiny（tiny）"}},
        {"  PIKA\t", {"Pikachu（pikachu · electric）"}},
        {"pie", {"Apple Pie（apple · fruit）"}},
        {"zzz", {}},
    };
    for (const auto& c : cases) {
        picker.findChild<QLineEdit*>()->setText(c.search);
        EXPECT_EQ(rows(), c.rows) << c.search.toStdString();
    }
}

TEST_F(PetPicker, PreviewSaysWhatBecameOfTheSelection) {
    const struct {
        QString slug;
        int state;
        QString status;
    } cases[] = {
        {"pikachu", 7, "Pikachu · 原地跑 Running → claude"},
        {"tiny", 3, "GIF 生成失败"},
        {"junk", 7, "下载失败：spritesheet 解码失败（WebP）"},
    };
    for (const auto& c : cases) {
        state->setCurrentIndex(c.state);
        select(c.slug);
        EXPECT_TRUE(statusBecomes(c.status)) << status().toStdString();
        EXPECT_EQ(upload->isEnabled(), c.slug == "pikachu");
    }
}

TEST_F(PetPicker, DropsTheAnswerForAPetNoLongerSelected) {
    select("junk");
    select("boba");
    ASSERT_TRUE(statusBecomes("正在下载 boba 的动画…", true));
    EXPECT_EQ(status(), "boba · 原地跑 Running → claude");
}

TEST_F(PetPicker, UploadsToTheTargetChosenAfterThePreview) {
    select("pikachu");
    ASSERT_TRUE(statusBecomes("Pikachu · 原地跑 Running → claude"));
    const qsizetype downloads = catalogue().server.requests("/sheets/pikachu.webp").size();
    target->setCurrentIndex(1);
    ASSERT_TRUE(statusBecomes("Pikachu · 原地跑 Running → codex"));
    EXPECT_EQ(catalogue().server.requests("/sheets/pikachu.webp").size(), downloads);

    upload->click();
    ASSERT_TRUE(statusBecomes("正在上传到设备并解码（约几秒）…"));
    ASSERT_EQ(uploads.size(), 1);
    EXPECT_EQ(uploads[0].first, "codex gif");
    EXPECT_FALSE(upload->isEnabled());
    uploads[0].second(Error{"DeviceClient", 1, "未设置设备地址，请先在菜单里填写设备 IP"});
    EXPECT_EQ(status(), "上传失败：未设置设备地址，请先在菜单里填写设备 IP");
    upload->click();
    ASSERT_TRUE(statusBecomes("正在上传到设备并解码（约几秒）…"));
    uploads.last().second(std::nullopt);
    EXPECT_EQ(status(), "✅ 已应用：Pikachu 现在是 Codex 的桌宠");
    EXPECT_TRUE(upload->isEnabled());
}

} // namespace
