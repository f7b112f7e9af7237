#pragma once

#include "common/Error.h"
#include "pets/PetdexService.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <utility>

class QBuffer;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMovie;
class QPushButton;

namespace glimmet {

// The window in which the user browses the Petdex catalogue, previews one animation of a pet
// as the clock's GIF and uploads it as the Claude or the Codex pet. Main thread; one shared()
// window lives for the whole process (tests make their own).
class PetPickerWindow : public QWidget {
    Q_OBJECT

public:
    // Sends GIF bytes to the clock's sprite slot; the completion gets an error or none.
    using Uploader = std::function<void(const QByteArray& gif, const QString& slot,
                                        std::function<void(std::optional<Error>)> completion)>;

    // The process's picker, uploading through the device client.
    static PetPickerWindow& shared();

    explicit PetPickerWindow(Uploader upload, QWidget* parent = nullptr);

    // Brings the window to the front and loads the catalogue unless it is loaded.
    void show();

private:
    struct Target {
        QString slot;
        int width;
        int height;
    };

    void buildWindow();
    void loadManifest();
    void applyFilter();
    void previewSelectionChanged();
    void render(qint64 token);
    void uploadTapped();

    std::optional<PetdexPet> selectedPet() const;
    Target currentTarget() const;
    PetdexAnimState currentState() const;
    // Builds the current target and animation from `sheet` on the thread pool; `done` runs
    // on the main thread while this window exists.
    void buildGif(const QImage& sheet, std::function<void(std::optional<QByteArray>)> done);
    void showPreview(const QByteArray& gif);
    void setStatus(const QString& text);

    Uploader upload;
    QLineEdit* searchField = nullptr;
    QListWidget* tableView = nullptr;
    QComboBox* targetPopup = nullptr;
    QComboBox* statePopup = nullptr;
    QLabel* previewView = nullptr;
    QPushButton* uploadButton = nullptr;
    QLabel* statusLabel = nullptr;
    QPointer<QMovie> previewMovie;

    QList<PetdexPet> allPets;
    QList<PetdexPet> filtered;
    std::optional<std::pair<QString, QImage>> sheetCache;
    qint64 previewToken = 0;
};

} // namespace glimmet
