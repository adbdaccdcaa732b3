#include "widgets/Dialogs.h"
#include "widgets/Translations.h"

#include <QColorDialog>
#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>

namespace {
Dialogs* g_installed = nullptr;
}

Dialogs& Dialogs::instance()
{
    static Dialogs real;
    return g_installed ? *g_installed : real;
}

void Dialogs::setInstance(Dialogs* dialogs)
{
    g_installed = dialogs;
}

QString Dialogs::getExistingDirectory(QWidget* parent, const QString& caption,
                                      const QString& startDir)
{
    return QFileDialog::getExistingDirectory(parent, caption, startDir);
}

QMessageBox::StandardButton Dialogs::question(QWidget* parent, const QString& title,
                                              const QString& text,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton defaultButton,
                                              QMessageBox::StandardButton escapeButton)
{
    QMessageBox box(QMessageBox::Question, title, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    box.setEscapeButton(escapeButton);
    const int answer = box.exec();
    return answer == QMessageBox::NoButton ? escapeButton
                                           : static_cast<QMessageBox::StandardButton>(answer);
}

int Dialogs::choose(QWidget* parent, const QString& title, const QString& text,
                    const QStringList& buttons, int defaultIndex, int escapeIndex)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton*> added;
    for (int i = 0; i < buttons.size(); ++i) {
        added << box.addButton(buttons[i], i == escapeIndex ? QMessageBox::RejectRole
                                                            : QMessageBox::AcceptRole);
    }
    if (defaultIndex >= 0 && defaultIndex < added.size())
        box.setDefaultButton(qobject_cast<QPushButton*>(added[defaultIndex]));
    if (escapeIndex >= 0 && escapeIndex < added.size())
        box.setEscapeButton(added[escapeIndex]);
    box.exec();
    const int pressed = static_cast<int>(added.indexOf(box.clickedButton()));
    return pressed < 0 ? escapeIndex : pressed;
}

void Dialogs::showError(QWidget* parent, const QString& message)
{
    QMessageBox::critical(parent, QCoreApplication::applicationName(),
                          TranslateCoreMessage(message));
}

std::optional<QString> Dialogs::getText(QWidget* parent, const QString& caption,
                                        const QString& prompt, const QString& initial,
                                        int maxLength)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(caption);
    dialog.setLabelText(prompt);
    dialog.setTextValue(initial);
    if (auto* edit = dialog.findChild<QLineEdit*>())
        edit->setMaxLength(maxLength);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.textValue();
}

std::optional<QColor> Dialogs::getColor(QWidget* parent, const QColor& initial)
{
    const QColor chosen = QColorDialog::getColor(initial, parent);
    if (!chosen.isValid())
        return std::nullopt;
    return chosen;
}

int Dialogs::execModal(QDialog& dialog)
{
    return dialog.exec();
}
