#include "ui/DialogAlerts.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace glimmet {

void DialogAlerts::inform(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, title, QMessageBox::Ok);
    box.setInformativeText(text);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
}

Alerts::Answer DialogAlerts::prompt(const QString& title, const QString& text, const QString& placeholder,
                                    const QString& initial, const QStringList& buttons) {
    QDialog dialog;
    dialog.setWindowTitle(title);
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(&dialog);
    auto* heading = new QLabel(title);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    layout->addWidget(heading);
    auto* details = new QLabel(text);
    details->setWordWrap(true);
    layout->addWidget(details);
    auto* field = new QLineEdit(initial);
    field->setPlaceholderText(placeholder);
    field->setMinimumWidth(300);
    layout->addWidget(field);

    Answer answer;
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (int i = 0; i < buttons.size(); ++i) {
        auto* button = new QPushButton(buttons.at(i));
        button->setDefault(i == 0);
        QObject::connect(button, &QPushButton::clicked, &dialog, [&dialog, &answer, i] {
            answer.button = i;
            dialog.accept();
        });
        row->addWidget(button);
    }
    layout->addLayout(row);

    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    dialog.exec();
    answer.text = field->text();
    return answer;
}

} // namespace glimmet
