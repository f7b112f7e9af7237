#include "ui/PetPickerWindow.h"

#include "common/SerialQueue.h"
#include "device/DeviceClient.h"

#include <QBuffer>
#include <QCollator>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QThreadPool>
#include <QVBoxLayout>

#include <algorithm>

namespace glimmet {

namespace {

constexpr int previewSide = 140;

struct TargetEntry {
    const char* title;
    const char* slot;
    int width;
    int height;
};

// The clock's two pets, in menu order; the sizes are the clock's default pet sizes.
constexpr TargetEntry targets[] = {
    {"Claude 角色", "claude", 111, 120},
    {"Codex 角色", "codex", 120, 120},
};

// A one-line label that cuts its text at the tail with an ellipsis when it is too narrow.
class ElidingLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = contentsRect();
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
    }
};

QString rowText(const PetdexPet& pet) {
    if (pet.kind.isEmpty())
        return pet.displayName + QStringLiteral("（") + pet.slug + QStringLiteral("）");
    return pet.displayName + QStringLiteral("（") + pet.slug + QStringLiteral(" · ") + pet.kind +
           QStringLiteral("）");
}

} // namespace

PetPickerWindow& PetPickerWindow::shared() {
    static PetPickerWindow* picker = new PetPickerWindow(DeviceClient::uploadGif);
    return *picker;
}

PetPickerWindow::PetPickerWindow(Uploader upload, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , upload(std::move(upload)) {
    buildWindow();
}

void PetPickerWindow::buildWindow() {
    setWindowTitle(QStringLiteral("更换桌宠动画（Petdex）"));
    resize(480, 620);

    searchField = new QLineEdit;
    searchField->setPlaceholderText(QStringLiteral("搜索 3300+ 桌宠（如 pikachu、boba…）"));
    searchField->setClearButtonEnabled(true);
    connect(searchField, &QLineEdit::textChanged, this, &PetPickerWindow::applyFilter);

    tableView = new QListWidget;
    tableView->setObjectName(QStringLiteral("pet"));
    tableView->setAlternatingRowColors(true);
    tableView->setUniformItemSizes(true);
    tableView->setMinimumHeight(260);
    tableView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    connect(tableView, &QListWidget::currentRowChanged, this, &PetPickerWindow::previewSelectionChanged);

    previewView = new QLabel;
    previewView->setFixedSize(previewSide, previewSide);
    previewView->setAlignment(Qt::AlignCenter);
    previewView->setStyleSheet(QStringLiteral("background: black; border-radius: 8px;"));

    targetPopup = new QComboBox;
    targetPopup->setObjectName(QStringLiteral("target"));
    for (const TargetEntry& target : targets)
        targetPopup->addItem(QString::fromUtf8(target.title));
    statePopup = new QComboBox;
    statePopup->setObjectName(QStringLiteral("state"));
    for (const PetdexAnimState& state : PetdexService::states)
        statePopup->addItem(state.label);
    const auto running =
        std::ranges::find(PetdexService::states, QStringLiteral("running"), &PetdexAnimState::id);
    statePopup->setCurrentIndex(
        running == PetdexService::states.end() ? 0 : int(running - PetdexService::states.begin()));
    connect(targetPopup, &QComboBox::currentIndexChanged, this, &PetPickerWindow::previewSelectionChanged);
    connect(statePopup, &QComboBox::currentIndexChanged, this, &PetPickerWindow::previewSelectionChanged);

    uploadButton = new QPushButton(QStringLiteral("上传到设备"));
    uploadButton->setDefault(true);
    uploadButton->setEnabled(false);
    connect(uploadButton, &QPushButton::clicked, this, &PetPickerWindow::uploadTapped);
    // Return uploads, as a dialog's default button would.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        connect(new QShortcut(key, this), &QShortcut::activated, this, [this] {
            if (uploadButton->isEnabled())
                uploadButton->click();
        });
    }

    statusLabel = new ElidingLabel;
    statusLabel->setObjectName(QStringLiteral("status"));
    statusLabel->setForegroundRole(QPalette::PlaceholderText);
    statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    statusLabel->setMinimumHeight(statusLabel->fontMetrics().height());

    // The controls row shares its width in proportion to the controls' natural widths.
    auto* row = new QHBoxLayout;
    for (QWidget* control : std::initializer_list<QWidget*>{targetPopup, statePopup, uploadButton}) {
        control->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        row->addWidget(control, control->sizeHint().width());
    }

    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(10);
    stack->setContentsMargins(14, 14, 14, 14);
    stack->addWidget(searchField);
    stack->addWidget(tableView, 1);
    stack->addWidget(previewView, 0, Qt::AlignLeft);
    stack->addLayout(row);
    stack->addWidget(statusLabel);
}

void PetPickerWindow::show() {
    if (!isVisible())
        move(screen()->availableGeometry().center() - rect().center());
    QWidget::show();
    raise();
    activateWindow();
    if (allPets.isEmpty())
        loadManifest();
}

void PetPickerWindow::loadManifest() {
    setStatus(QStringLiteral("正在加载 petdex 桌宠列表…"));
    PetdexService::loadManifest([picker = QPointer(this)](Result<QList<PetdexPet>> result) {
        if (!picker)
            return;
        if (!result)
            return picker->setStatus(QStringLiteral("加载失败：") + result.error().description);
        QCollator collator;
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        std::ranges::stable_sort(*result, [&collator](const PetdexPet& a, const PetdexPet& b) {
            return collator.compare(a.displayName, b.displayName) < 0;
        });
        picker->allPets = *result;
        picker->applyFilter();
        picker->setStatus(QStringLiteral("共 ") + QString::number(picker->allPets.size()) +
                          QStringLiteral(" 个桌宠，选择后可预览"));
    });
}

void PetPickerWindow::applyFilter() {
    const QString text = searchField->text().trimmed().toLower();
    filtered.clear();
    for (const PetdexPet& pet : allPets) {
        if (text.isEmpty() || pet.slug.toLower().contains(text) || pet.displayName.toLower().contains(text))
            filtered.append(pet);
    }
    const QSignalBlocker quiet(tableView);
    tableView->clear();
    for (const PetdexPet& pet : filtered)
        tableView->addItem(rowText(pet));
}

std::optional<PetdexPet> PetPickerWindow::selectedPet() const {
    const int row = tableView->currentRow();
    if (row < 0 || row >= filtered.size())
        return std::nullopt;
    return filtered[row];
}

PetPickerWindow::Target PetPickerWindow::currentTarget() const {
    const TargetEntry& entry = targets[targetPopup->currentIndex() == 0 ? 0 : 1];
    return {QString::fromLatin1(entry.slot), entry.width, entry.height};
}

PetdexAnimState PetPickerWindow::currentState() const {
    return PetdexService::states[size_t(std::max(0, statePopup->currentIndex()))];
}

void PetPickerWindow::previewSelectionChanged() {
    const std::optional<PetdexPet> pet = selectedPet();
    if (!pet)
        return;
    uploadButton->setEnabled(false);
    const qint64 token = ++previewToken;
    if (sheetCache && sheetCache->first == pet->slug)
        return render(token);

    setStatus(QStringLiteral("正在下载 ") + pet->displayName + QStringLiteral(" 的动画…"));
    PetdexService::downloadSpritesheet(
        *pet, [picker = QPointer(this), token, slug = pet->slug](Result<QImage> sheet) {
            if (!picker || picker->previewToken != token)
                return;
            if (!sheet)
                return picker->setStatus(QStringLiteral("下载失败：") + sheet.error().description);
            picker->sheetCache = {slug, *sheet};
            picker->render(token);
        });
}

void PetPickerWindow::render(qint64 token) {
    const std::optional<PetdexPet> pet = selectedPet();
    if (!pet || !sheetCache || token != previewToken)
        return;
    const QString caption = pet->displayName + QStringLiteral(" · ") + currentState().label +
                            QStringLiteral(" → ") + currentTarget().slot;
    buildGif(sheetCache->second, [this, token, caption](std::optional<QByteArray> gif) {
        if (token != previewToken)
            return;
        if (!gif)
            return setStatus(QStringLiteral("GIF 生成失败"));
        showPreview(*gif);
        uploadButton->setEnabled(true);
        setStatus(caption);
    });
}

void PetPickerWindow::uploadTapped() {
    const std::optional<PetdexPet> pet = selectedPet();
    if (!pet || !sheetCache || sheetCache->first != pet->slug || !uploadButton->isEnabled())
        return;
    // Disabled at once so that a second click cannot start a second upload meanwhile.
    uploadButton->setEnabled(false);
    const QString slot = currentTarget().slot;
    buildGif(sheetCache->second, [this, slot, name = pet->displayName](std::optional<QByteArray> gif) {
        if (!gif)
            return uploadButton->setEnabled(true);
        setStatus(QStringLiteral("正在上传到设备并解码（约几秒）…"));
        upload(*gif, slot, [picker = QPointer(this), slot, name](std::optional<Error> error) {
            if (!picker)
                return;
            picker->uploadButton->setEnabled(true);
            if (error)
                return picker->setStatus(QStringLiteral("上传失败：") + error->description);
            picker->setStatus(
                QStringLiteral("✅ 已应用：") + name + QStringLiteral(" 现在是 ") +
                (slot == QStringLiteral("claude") ? QStringLiteral("Claude") : QStringLiteral("Codex")) +
                QStringLiteral(" 的桌宠"));
        });
    });
}

void PetPickerWindow::buildGif(const QImage& sheet, std::function<void(std::optional<QByteArray>)> done) {
    const Target target = currentTarget();
    const PetdexAnimState state = currentState();
    QThreadPool::globalInstance()->start([picker = QPointer(this), sheet, state, target, done] {
        std::optional<QByteArray> gif = PetdexService::buildGif(sheet, state, target.width, target.height);
        runOnMain([picker, gif = std::move(gif), done] {
            if (picker)
                done(gif);
        });
    });
}

void PetPickerWindow::showPreview(const QByteArray& gif) {
    delete previewMovie;
    auto* movie = new QMovie(this);
    auto* buffer = new QBuffer(movie);
    buffer->setData(gif);
    buffer->open(QIODevice::ReadOnly);
    movie->setDevice(buffer);
    movie->setCacheMode(QMovie::CacheAll);
    movie->jumpToFrame(0);
    movie->setScaledSize(movie->currentImage().size().scaled(previewSide, previewSide, Qt::KeepAspectRatio));
    previewView->setMovie(movie);
    movie->start();
    previewMovie = movie;
}

void PetPickerWindow::setStatus(const QString& text) {
    statusLabel->setText(text);
    statusLabel->update();
}

} // namespace glimmet
