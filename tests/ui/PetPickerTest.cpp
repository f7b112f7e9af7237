#include "pets/FakeCatalogue.h"
#include "support/Wait.h"
#include "ui/PetPickerWindow.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

class PetPicker : public testing::Test {
protected:
    // One catalogue for the process, since the service keeps the first manifest it loads.
    static inline FakeCatalogue* catalogue = nullptr;
    static void SetUpTestSuite() {
        if (catalogue)
            return;
        catalogue = new FakeCatalogue(R"([
            {"slug":"pikachu","displayName":"Pikachu","kind":"electric","spritesheetUrl":"SHEETS/pikachu.webp"},
            {"slug":"boba","spritesheetUrl":"SHEETS/boba.webp"},
            {"slug":"junk","displayName":"Junk","spritesheetUrl":"SHEETS/junk.webp"}])");
        catalogue->setSheet("pikachu", webpSheet({1536, 1872}));
        catalogue->setSheet("boba", webpSheet({1536, 1872}), 300);
        catalogue->setSheet("junk", "<html>");
    }
    void SetUp() override {
        picker.show();
        ASSERT_EQ(statusAfter("正在加载"), "共 3 个桌宠，选择后可预览");
    }
    QString status() const { return picker.findChild<QLabel*>("status")->text(); }
    // Turns the event loop while the status starts with `prefix` (within a generous deadline).
    QString statusAfter(const QString& prefix) {
        waitUntil([&] { return !status().startsWith(prefix); });
        return status();
    }
    QStringList rows() const {
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    }
    void select(const QString& slug) {
        list->setCurrentItem(list->findItems("（" + slug, Qt::MatchContains)[0]);
    }

    QList<std::pair<QString, std::function<void(std::optional<Error>)>>> uploads; // slot, completion
    PetPickerWindow picker{[this](const QByteArray& gif, const QString& slot, auto done) {
        uploads.append({gif.startsWith("GIF89a") ? slot : "not a GIF", done});
    }};
    QListWidget* list = picker.findChild<QListWidget*>();
    QPushButton* upload = picker.findChild<QPushButton*>();
};

TEST_F(PetPicker, FiltersBySlugOrNameInNameOrder) {
    EXPECT_EQ(rows(), QStringList({"boba（boba）", "Junk（junk）", "Pikachu（pikachu · electric）"}));
    picker.findChild<QLineEdit*>()->setText("  PIKA\t");
    EXPECT_EQ(rows(), QStringList({"Pikachu（pikachu · electric）"}));
}

// Each row selects a pet, or two in a row: the answer for the first is dropped.
TEST_F(PetPicker, PreviewSaysWhatBecameOfTheSelection) {
    const struct {
        QStringList slugs;
        QString status;
    } cases[] = {
        {{"pikachu"}, "Pikachu · 原地跑 Running → claude"},
        {{"junk", "boba"}, "boba · 原地跑 Running → claude"}, // boba answers 300 ms after junk
        {{"junk"}, "下载失败：spritesheet 解码失败（WebP）"},
    };
    for (const auto& c : cases) {
        for (const QString& slug : c.slugs)
            select(slug);
        EXPECT_EQ(statusAfter("正在下载"), c.status);
        EXPECT_EQ(upload->isEnabled(), c.status.contains("→"));
    }
}

TEST_F(PetPicker, UploadsToTheTargetChosenAfterThePreview) {
    select("pikachu");
    ASSERT_EQ(statusAfter("正在下载"), "Pikachu · 原地跑 Running → claude");
    const qsizetype downloads = catalogue->server.requests().size();
    picker.findChild<QComboBox*>("target")->setCurrentIndex(1);
    ASSERT_EQ(statusAfter("Pikachu · 原地跑 Running → claude"), "Pikachu · 原地跑 Running → codex");
    EXPECT_EQ(catalogue->server.requests().size(), downloads);

    upload->click();
    ASSERT_EQ(statusAfter("Pikachu"), "正在上传到设备并解码（约几秒）…");
    EXPECT_FALSE(upload->isEnabled());
    uploads.last().second(Error{"DeviceClient", 1, "未设置设备地址，请先在菜单里填写设备 IP"});
    EXPECT_EQ(status(), "上传失败：未设置设备地址，请先在菜单里填写设备 IP");
    upload->click();
    ASSERT_EQ(statusAfter("上传失败"), "正在上传到设备并解码（约几秒）…");
    uploads.last().second(std::nullopt);
    EXPECT_EQ(status(), "✅ 已应用：Pikachu 现在是 Codex 的桌宠");
    EXPECT_TRUE(upload->isEnabled());
    EXPECT_EQ(uploads[0].first, "codex");
}

} // namespace
