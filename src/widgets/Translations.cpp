#include "widgets/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTranslator>

namespace {

bool install(const QLocale& locale, const QString& name, const QString& folder)
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(locale, name, QStringLiteral("_"), folder) &&
        QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

// The core's messages and reasons, whole or with one %1 for a name, number or system reason.
const char* const CoreMessages[] = {
    QT_TRANSLATE_NOOP("CoreMessage", "Cannot open file %1"),
    QT_TRANSLATE_NOOP("CoreMessage", "Cannot create file %1"),
    QT_TRANSLATE_NOOP("CoreMessage", "Unable to write to %1"),
    QT_TRANSLATE_NOOP("CoreMessage", "Cannot open folder %1"),
    QT_TRANSLATE_NOOP("CoreMessage", "Cannot undo the deletion in %1"),
    QT_TRANSLATE_NOOP("CoreMessage", "File not found"),
    QT_TRANSLATE_NOOP("CoreMessage", "Invalid filename"),
    QT_TRANSLATE_NOOP("CoreMessage", "Too many open files"),
    QT_TRANSLATE_NOOP("CoreMessage", "File access denied"),
    QT_TRANSLATE_NOOP("CoreMessage", "Read beyond end of file"),
    QT_TRANSLATE_NOOP("CoreMessage", "Disk full"),
    QT_TRANSLATE_NOOP("CoreMessage", "I/O error %1"),
    QT_TRANSLATE_NOOP("CoreMessage", "List index out of bounds (%1)"),
    QT_TRANSLATE_NOOP("CoreMessage", "Out of memory"),
    QT_TRANSLATE_NOOP("CoreMessage", "Another program cut the file short while it was read."),
    QT_TRANSLATE_NOOP("CoreMessage",
                      "Another program changed the log since it was read; it was left as it is."),
    QT_TRANSLATE_NOOP("CoreMessage",
                      "Another program replaced the log since it was read; it was left as it is."),
    QT_TRANSLATE_NOOP("CoreMessage",
                      "Another program shortened the log since it was read; it was left as it is."),
    QT_TRANSLATE_NOOP("CoreMessage",
                      "Another program put a file in the log's place; it was left as it is."),
    QT_TRANSLATE_NOOP("CoreMessage", "The log is not a regular file; it was left as it is."),
    QT_TRANSLATE_NOOP("CoreMessage", "The log cannot be opened any more: %1"),
    QT_TRANSLATE_NOOP("CoreMessage", "It is a device, not a log file."),
    QT_TRANSLATE_NOOP("CoreMessage", "No program writes into this pipe."),
};

QString translateLine(const QString& line)
{
    for (const char* format : CoreMessages) {
        const QString english = QString::fromLatin1(format);
        const qsizetype at = english.indexOf(QLatin1String("%1"));
        if (at < 0) {
            if (line == english)
                return QCoreApplication::translate("CoreMessage", format);
            continue;
        }
        const QStringView prefix = QStringView(english).left(at);
        const QStringView suffix = QStringView(english).mid(at + 2);
        if (line.size() > prefix.size() + suffix.size() && line.startsWith(prefix) &&
            line.endsWith(suffix)) {
            const QString inserted =
                line.mid(prefix.size(), line.size() - prefix.size() - suffix.size());
            return QCoreApplication::translate("CoreMessage", format).arg(inserted);
        }
    }
    return line;
}

} // namespace

QString TranslateCoreMessage(const QString& message)
{
    QStringList lines = message.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = translateLine(line);
    return lines.join(QLatin1Char('\n'));
}

bool InstallTranslations(const QLocale& locale)
{
    install(locale, QStringLiteral("qtbase"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    return install(locale, QStringLiteral("qelt-viewer"), QStringLiteral(":/i18n"));
}
