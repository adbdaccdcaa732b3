#pragma once

#include <QColor>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

// Every modal dialog the windows show goes through here, so that a test can answer them.
// The default implementation shows the real Qt dialogs; a test installs its own with
// Dialogs::setInstance() and restores the default with setInstance(nullptr).
class Dialogs
{
public:
    virtual ~Dialogs() = default;

    static Dialogs& instance();
    static void setInstance(Dialogs* dialogs);

    // The folder browser: the chosen folder's path, or an empty string when cancelled.
    virtual QString getExistingDirectory(QWidget* parent, const QString& caption,
                                         const QString& startDir);
    // A question with the given buttons; returns the button pressed (escapeButton when closed).
    virtual QMessageBox::StandardButton question(QWidget* parent, const QString& title,
                                                 const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton,
                                                 QMessageBox::StandardButton escapeButton);
    // A question whose answers are buttons with the given texts, left to right; returns the index
    // of the button pressed (escapeIndex when the dialog is closed otherwise).
    virtual int choose(QWidget* parent, const QString& title, const QString& text,
                       const QStringList& buttons, int defaultIndex, int escapeIndex);
    // A failure's message, shown the way the application shows errors.
    virtual void showError(QWidget* parent, const QString& message);
    // A single-line input: the text entered, or nullopt when cancelled.
    virtual std::optional<QString> getText(QWidget* parent, const QString& caption,
                                           const QString& prompt, const QString& initial,
                                           int maxLength);
    // The colour dialog: the chosen colour, or nullopt when cancelled.
    virtual std::optional<QColor> getColor(QWidget* parent, const QColor& initial);
    // Runs a window of ours modally (about box, filter manager) and returns its result.
    virtual int execModal(class QDialog& dialog);
};
