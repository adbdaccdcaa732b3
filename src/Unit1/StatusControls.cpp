#include "Unit1/StatusControls.h"

#include "Unit1/Unit1.h"
#include "settings/CodePage.h"
#include "settings/Settings.h"
#include "widgets/Dialogs.h"

#include <QActionGroup>
#include <QMenu>
#include <QStatusBar>
#include <QToolButton>

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
    m_codePage = new QToolButton(form->StatusBar1);
    m_codePage->setObjectName(QStringLiteral("CodePageButton"));
    m_codePage->setAutoRaise(true);
    m_codePage->setPopupMode(QToolButton::InstantPopup);
    m_codePage->setToolTip(tr("The code page of texts that are not UTF-8"));
    auto* menu = new QMenu(m_codePage);
    auto* group = new QActionGroup(menu);
    for (const CodePageName& page : CodePages) {
        if (!qelt::IsSupportedCodePage(page.id))
            continue;
        QAction* action = menu->addAction(QStringLiteral("%1  %2").arg(page.id).arg(tr(page.name)));
        action->setCheckable(true);
        action->setData(page.id);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, id = page.id] { chooseCodePage(id); });
    }
    m_codePage->setMenu(menu);
    form->StatusBar1->addPermanentWidget(m_codePage);

    m_follow = new QToolButton(form->StatusBar1);
    m_follow->setObjectName(QStringLiteral("FollowButton"));
    m_follow->setAutoRaise(true);
    m_follow->setCheckable(true);
    m_follow->setChecked(true);
    m_follow->setText(tr("Follow"));
    m_follow->setToolTip(tr("Show the lines the proxy adds to the chosen log as they come"));
    form->StatusBar1->addPermanentWidget(m_follow);
    showCodePage();
}

void StatusControls::showCodePage()
{
    const int current = m_form->codePage();
    m_codePage->setText(tr("Code page %1").arg(current));
    for (QAction* action : m_codePage->menu()->actions())
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
