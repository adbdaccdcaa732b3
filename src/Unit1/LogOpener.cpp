#include "Unit1/LogOpener.h"

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit1/Unit1.h"
#include "common/QeltError.h"
#include "settings/Settings.h"
#include "widgets/Dialogs.h"
#include "widgets/DisplayText.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

namespace {

// The one local path a drag carries, or an empty string.
QString DroppedPath(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return {};
    const QUrl url = mime->urls().first();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

} // namespace

LogOpener::LogOpener(TForm1* form) : QObject(form), m_form(form)
{
    form->setAcceptDrops(true);
    form->installEventFilter(this);
    m_recent = new QMenu(form->OpenButton);
    m_recent->setObjectName(QStringLiteral("RecentMenu"));
    form->OpenButton->setToolTip(tr("Right-click for the folders opened last"));
    form->OpenButton->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(form->OpenButton, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (!idle())
            return;
        fillRecentMenu();
        m_recent->popup(m_form->OpenButton->mapToGlobal(at));
    });
}

bool LogOpener::idle() const
{
    return m_form->ControlBar1->isEnabled() && !m_form->isDeleting();
}

void LogOpener::fillRecentMenu()
{
    m_recent->clear();
    std::vector<std::string> folders;
    try {
        folders = qelt::ReadRecentFolders(m_form->appDir());
    } catch (const std::exception&) {
        // An unreadable config.ini has no recent folders.
    }
    for (const std::string& folder : folders) {
        QAction* action = m_recent->addAction(QFile::decodeName(QByteArray::fromStdString(folder)));
        connect(action, &QAction::triggered, this, [this, folder] { openFolder(folder); });
    }
    if (folders.empty())
        m_recent->addAction(tr("No folders opened yet"))->setEnabled(false);
    m_recent->addSeparator();
    m_recent->addAction(tr("Open Log Folder..."), m_form, &TForm1::OpenButtonClick);
}

bool LogOpener::openFolder(std::string folder)
{
    // Written as the folder browser gives a folder: without a last '/'.
    if (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    qelt::SetLogDir(folder);
    try {
        qelt::WriteLogDir(m_form->appDir(), folder);
        qelt::AddRecentFolder(m_form->appDir(), folder);
    } catch (const std::exception& error) {
        Dialogs::instance().showError(m_form, QString::fromLocal8Bit(error.what()));
        return false;
    }
    m_form->ApplySettings();
    return true;
}

bool LogOpener::openPath(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return openFolder(QFile::encodeName(info.absoluteFilePath()).toStdString());
    const std::string name = QFile::encodeName(info.fileName()).toStdString();
    if (!info.isFile() || !qelt::IsLogFileName(name)) {
        Dialogs::instance().showError(
            m_form, tr("%1 is neither a folder nor a log file (log*.txt)").arg(path));
        return false;
    }
    if (!openFolder(QFile::encodeName(info.absolutePath()).toStdString()))
        return false;
    for (int item = 0; item < m_form->ComboBox1->count(); ++item) {
        if (ToBytes(m_form->ComboBox1->itemData(item).toByteArray()) == name) {
            m_form->ComboBox1->setCurrentIndex(item);
            m_form->LoadSelectedLog();
            return true;
        }
    }
    return false;
}

bool LogOpener::eventFilter(QObject* watched, QEvent* event)
{
    // The type first: while the window is taken down, other events still pass here.
    if (event->type() == QEvent::DragEnter && watched == m_form) {
        auto* drag = static_cast<QDragEnterEvent*>(event);
        if (idle() && !DroppedPath(drag->mimeData()).isEmpty())
            drag->acceptProposedAction();
        return true;
    }
    if (event->type() == QEvent::Drop && watched == m_form) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QString path = DroppedPath(drop->mimeData());
        if (idle() && !path.isEmpty()) {
            drop->acceptProposedAction();
            openPath(path);
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}
