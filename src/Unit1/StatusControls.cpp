#include "Unit1/StatusControls.h"

#include "Unit1/Unit1.h"
#include "settings/CodePage.h"
#include "settings/Settings.h"
#include "widgets/Dialogs.h"

#include <QActionGroup>
#include <QMenu>
#include <QStatusBar>

namespace {

struct CodePageName
{
    int id;
    const char* name;
};

const CodePageName CodePages[] = {
    {65001, QT_TRANSLATE_NOOP("StatusControls", "UTF-8 only")},
    {1250, QT_TRANSLATE_NOOP("StatusControls", "Central European")},
    {1251, QT_TRANSLATE_NOOP("StatusControls", "Cyrillic")},
    {1252, QT_TRANSLATE_NOOP("StatusControls", "Western European")},
    {1253, QT_TRANSLATE_NOOP("StatusControls", "Greek")},
    {1254, QT_TRANSLATE_NOOP("StatusControls", "Turkish")},
    {1255, QT_TRANSLATE_NOOP("StatusControls", "Hebrew")},
    {1256, QT_TRANSLATE_NOOP("StatusControls", "Arabic")},
    {1257, QT_TRANSLATE_NOOP("StatusControls", "Baltic")},
    {1258, QT_TRANSLATE_NOOP("StatusControls", "Vietnamese")},
    {866, QT_TRANSLATE_NOOP("StatusControls", "Cyrillic (DOS)")},
    {437, QT_TRANSLATE_NOOP("StatusControls", "United States (DOS)")},
    {28591, QT_TRANSLATE_NOOP("StatusControls", "ISO 8859-1")},
};

} // namespace

StatusControls::StatusControls(TForm1* form) : QObject(form), m_form(form)
{
    m_menu = new QMenu(form->StatusBar1);
    m_menu->setObjectName(QStringLiteral("StatusMenu"));
    m_follow = m_menu->addAction(tr("Follow the Growing Log"));
    m_follow->setCheckable(true);
    m_follow->setChecked(true);
    m_follow->setToolTip(tr("Show the lines the proxy adds to the chosen log as they come"));
    m_codePages = m_menu->addMenu(QString());
    m_codePages->setObjectName(QStringLiteral("CodePageMenu"));
    auto* group = new QActionGroup(m_codePages);
    for (const CodePageName& page : CodePages) {
        if (!qelt::IsSupportedCodePage(page.id))
            continue;
        QAction* action =
            m_codePages->addAction(QStringLiteral("%1  %2").arg(page.id).arg(tr(page.name)));
        action->setCheckable(true);
        action->setData(page.id);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, id = page.id] { chooseCodePage(id); });
    }
    form->StatusBar1->setContextMenuPolicy(Qt::CustomContextMenu);
    form->StatusBar1->setToolTip(tr("Right-click to follow the log or to choose the code page"));
    connect(form->StatusBar1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { m_menu->popup(m_form->StatusBar1->mapToGlobal(at)); });
    showCodePage();
}

void StatusControls::showCodePage()
{
    const int current = m_form->codePage();
    m_codePages->setTitle(tr("Code Page (%1)").arg(current));
    for (QAction* action : m_codePages->actions())
        action->setChecked(action->data().toInt() == current);
}

void StatusControls::chooseCodePage(int codePage)
{
    try {
        qelt::WriteCodePage(m_form->appDir(), codePage);
    } catch (const std::exception& error) {
        Dialogs::instance().showError(m_form, QString::fromLocal8Bit(error.what()));
    }
    // Shown in the new code page at once, also when config.ini could not keep it.
    m_form->applyCodePage(codePage);
    showCodePage();
}
