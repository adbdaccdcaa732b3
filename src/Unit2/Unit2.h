#pragma once

#include "Unit2/ColorBox.h"
#include "settings/CodePage.h"

#include <QByteArray>
#include <QDialog>

#include <optional>
#include <string>
#include <vector>

class QFrame;
class QLabel;
class QSplitter;
class QStatusBar;
class QWidget;
class ListBox;
class TPngSpeedButton;

// The filter manager: a modal window that edits the filter groups (name, colour) and their
// filters. It keeps no data of its own; every action goes straight to the store files in its
// AppDir, so the main window's rows take the changes when they are next painted.
//
// Entries of GroupList and FilterList hold the bytes the store files hold (Qt::UserRole, a
// QByteArray) and show them decoded with config.ini's CodePage; those bytes, never the shown
// text, are what the window passes back to the store.
class TManagerForm : public QDialog
{
    Q_OBJECT

public:
    // Works on the store files of the program's AppDir.
    explicit TManagerForm(QWidget* parent = nullptr);
    // Works on the store files (and config.ini's CodePage) in appDir, which ends with '/'.
    explicit TManagerForm(std::string appDir, QWidget* parent = nullptr);
    ~TManagerForm() override;

    // The band of command buttons.
    QFrame* ControlBar1 = nullptr;
    QWidget* Panel2 = nullptr;
    TPngSpeedButton* btAddGroup = nullptr;
    TPngSpeedButton* btDelGroup = nullptr;
    TPngSpeedButton* btAddFilter = nullptr;
    TPngSpeedButton* btDelFilter = nullptr;
    // The two lists side by side; the splitter's handle is the window's Splitter1.
    QSplitter* Splitter1 = nullptr;
    ListBox* GroupList = nullptr;
    ListBox* FilterList = nullptr;
    // The colour of the selected group, or of the next group added.
    QFrame* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    ColorBox* ColorBox1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    const std::string& appDir() const { return m_appDir; }

public slots:
    void FormCreate();
    void GroupListClick();
    void FilterListClick();
    void FilterListDblClick();
    void btAddGroupClick();
    void btDelGroupClick();
    void btAddFilterClick();
    void btDelFilterClick();
    void ColorBox1Change();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    bool groupFileExists();
    bool filterFileExists();

    // The bytes of a list's selected entry, or nullopt when none is selected.
    static std::optional<std::string> selectedBytes(const ListBox* list);
    void appendEntry(ListBox* list, const std::string& bytes);
    void fillList(ListBox* list, const std::vector<std::string>& entries);

    // Asks for a text; nullopt when cancelled, left empty, or not representable in the code
    // page (then the user has been told so).
    std::optional<std::string> askText(const QString& prompt, const QString& initial,
                                       QString* typed);
    // Asks for a text to store in a field of `capacity` bytes. A longer one is not cut silently:
    // the user sees what would be stored and keeps it, edits the text, or cancels.
    std::optional<std::string> askStoredText(const QString& prompt, std::size_t capacity,
                                             const QString& tooLong);

    // Runs one store operation; a failure is shown once and false returned.
    template <class Operation> bool runStore(Operation&& operation);

    std::string m_appDir;
    qelt::CodePageId m_codePage = qelt::DefaultCodePage;
    bool m_centred = false;
};
