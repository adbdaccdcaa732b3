<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>ColorBox</name>
    <message>
        <source>Custom...</source>
        <translation>Другой...</translation>
    </message>
    <message>
        <source>Black</source>
        <translation>Чёрный</translation>
    </message>
    <message>
        <source>Maroon</source>
        <translation>Бордовый</translation>
    </message>
    <message>
        <source>Green</source>
        <translation>Зелёный</translation>
    </message>
    <message>
        <source>Olive</source>
        <translation>Оливковый</translation>
    </message>
    <message>
        <source>Navy</source>
        <translation>Тёмно-синий</translation>
    </message>
    <message>
        <source>Purple</source>
        <translation>Пурпурный</translation>
    </message>
    <message>
        <source>Teal</source>
        <translation>Сине-зелёный</translation>
    </message>
    <message>
        <source>Gray</source>
        <translation>Серый</translation>
    </message>
    <message>
        <source>Silver</source>
        <translation>Серебристый</translation>
    </message>
    <message>
        <source>Red</source>
        <translation>Красный</translation>
    </message>
    <message>
        <source>Lime</source>
        <translation>Лаймовый</translation>
    </message>
    <message>
        <source>Yellow</source>
        <translation>Жёлтый</translation>
    </message>
    <message>
        <source>Blue</source>
        <translation>Синий</translation>
    </message>
    <message>
        <source>Fuchsia</source>
        <translation>Фуксия</translation>
    </message>
    <message>
        <source>Aqua</source>
        <translation>Голубой</translation>
    </message>
    <message>
        <source>White</source>
        <translation>Белый</translation>
    </message>
    <message>
        <source>Money Green</source>
        <translation>Денежный зелёный</translation>
    </message>
    <message>
        <source>Sky Blue</source>
        <translation>Небесно-голубой</translation>
    </message>
    <message>
        <source>Cream</source>
        <translation>Кремовый</translation>
    </message>
    <message>
        <source>Medium Gray</source>
        <translation>Средне-серый</translation>
    </message>
</context>
<context>
    <name>CoreMessage</name>
    <message>
        <source>Cannot open file %1</source>
        <translation>Не удаётся открыть файл %1</translation>
    </message>
    <message>
        <source>Cannot create file %1</source>
        <translation>Не удаётся создать файл %1</translation>
    </message>
    <message>
        <source>Unable to write to %1</source>
        <translation>Не удаётся записать в %1</translation>
    </message>
    <message>
        <source>Cannot open folder %1</source>
        <translation>Не удаётся открыть папку %1</translation>
    </message>
    <message>
        <source>Cannot undo the deletion in %1</source>
        <translation>Не удаётся отменить удаление в %1</translation>
    </message>
    <message>
        <source>File not found</source>
        <translation>Файл не найден</translation>
    </message>
    <message>
        <source>Invalid filename</source>
        <translation>Недопустимое имя файла</translation>
    </message>
    <message>
        <source>Too many open files</source>
        <translation>Слишком много открытых файлов</translation>
    </message>
    <message>
        <source>File access denied</source>
        <translation>Доступ к файлу запрещён</translation>
    </message>
    <message>
        <source>Read beyond end of file</source>
        <translation>Чтение за концом файла</translation>
    </message>
    <message>
        <source>Disk full</source>
        <translation>Диск заполнен</translation>
    </message>
    <message>
        <source>I/O error %1</source>
        <translation>Ошибка ввода-вывода %1</translation>
    </message>
    <message>
        <source>List index out of bounds (%1)</source>
        <translation>Индекс списка вне границ (%1)</translation>
    </message>
    <message>
        <source>Out of memory</source>
        <translation>Недостаточно памяти</translation>
    </message>
    <message>
        <source>Another program cut the file short while it was read.</source>
        <translation>Другая программа укоротила файл во время чтения.</translation>
    </message>
    <message>
        <source>Another program changed the log since it was read; it was left as it is.</source>
        <translation>Другая программа изменила журнал после чтения; он оставлен как есть.</translation>
    </message>
    <message>
        <source>Another program replaced the log since it was read; it was left as it is.</source>
        <translation>Другая программа заменила журнал после чтения; он оставлен как есть.</translation>
    </message>
    <message>
        <source>Another program shortened the log since it was read; it was left as it is.</source>
        <translation>Другая программа укоротила журнал после чтения; он оставлен как есть.</translation>
    </message>
    <message>
        <source>Another program put a file in the log&apos;s place; it was left as it is.</source>
        <translation>Другая программа поставила на место журнала другой файл; он оставлен как есть.</translation>
    </message>
    <message>
        <source>The log is not a regular file; it was left as it is.</source>
        <translation>Журнал — не обычный файл; он оставлен как есть.</translation>
    </message>
    <message>
        <source>The log cannot be opened any more: %1</source>
        <translation>Журнал больше не открывается: %1</translation>
    </message>
    <message>
        <source>It is a device, not a log file.</source>
        <translation>Это устройство, а не файл журнала.</translation>
    </message>
    <message>
        <source>No program writes into this pipe.</source>
        <translation>Ни одна программа не пишет в этот канал.</translation>
    </message>
</context>
<context>
    <name>FilterBar</name>
    <message>
        <source>URL contains</source>
        <translation>URL содержит</translation>
    </message>
    <message>
        <source>Show only the rows whose URL contains this text (case ignored)</source>
        <translation>Показывать только строки, URL которых содержит этот текст (без учёта регистра)</translation>
    </message>
    <message>
        <source>A date and time as the log writes it (07/Dec/2026:03:44:43) or as 2026-12-07 03:44:43; the time or its seconds may be left out</source>
        <translation>Дата и время так, как их пишет журнал (07/Dec/2026:03:44:43), или как 2026-12-07 03:44:43; время или секунды можно не указывать</translation>
    </message>
    <message>
        <source>from</source>
        <translation>с</translation>
    </message>
    <message>
        <source>to</source>
        <translation>по</translation>
    </message>
    <message>
        <source>%1 of %2 rows</source>
        <translation>%1 из %2 строк</translation>
    </message>
</context>
<context>
    <name>FindBar</name>
    <message>
        <source>Find in the log: URL contains</source>
        <translation>Найти в журнале: URL содержит</translation>
    </message>
    <message>
        <source>Shows only the users and hosts with requests whose URL contains this text (case ignored), with their numbers of them. Esc clears.</source>
        <translation>Показывает только пользователей и хосты с запросами, URL которых содержит этот текст (без учёта регистра), и число таких запросов. Esc очищает.</translation>
    </message>
</context>
<context>
    <name>LogOpener</name>
    <message>
        <source>Right-click for the folders opened last</source>
        <translation>Щелчок правой кнопкой — недавно открытые папки</translation>
    </message>
    <message>
        <source>No folders opened yet</source>
        <translation>Папки ещё не открывались</translation>
    </message>
    <message>
        <source>Open Log Folder...</source>
        <translation>Открыть папку журналов...</translation>
    </message>
    <message>
        <source>%1 is neither a folder nor a log file (log*.txt)</source>
        <translation>%1 — не папка и не файл журнала (log*.txt)</translation>
    </message>
</context>
<context>
    <name>RecordModel</name>
    <message>
        <source>Date</source>
        <translation>Дата</translation>
    </message>
    <message>
        <source>Connection Type</source>
        <translation>Тип соединения</translation>
    </message>
    <message>
        <source>URL</source>
        <translation>URL</translation>
    </message>
</context>
<context>
    <name>SafeUrl</name>
    <message>
        <source>No address to open</source>
        <translation>Нет адреса для открытия</translation>
    </message>
    <message>
        <source>Not a valid address: %1</source>
        <translation>Неверный адрес: %1</translation>
    </message>
    <message>
        <source>Only http, https and ftp addresses are opened</source>
        <translation>Открываются только адреса http, https и ftp</translation>
    </message>
    <message>
        <source>The address has no host</source>
        <translation>В адресе нет хоста</translation>
    </message>
</context>
<context>
    <name>StatsTableModel</name>
    <message>
        <source>User</source>
        <translation>Пользователь</translation>
    </message>
    <message>
        <source>Requests</source>
        <translation>Запросы</translation>
    </message>
    <message>
        <source>Hosts</source>
        <translation>Хосты</translation>
    </message>
    <message>
        <source>First request</source>
        <translation>Первый запрос</translation>
    </message>
    <message>
        <source>Last request</source>
        <translation>Последний запрос</translation>
    </message>
    <message>
        <source>Host</source>
        <translation>Хост</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Тип</translation>
    </message>
    <message>
        <source>Users</source>
        <translation>Пользователи</translation>
    </message>
    <message>
        <source>Connection type</source>
        <translation>Тип соединения</translation>
    </message>
    <message>
        <source>Share</source>
        <translation>Доля</translation>
    </message>
    <message>
        <source>none</source>
        <translation>нет</translation>
    </message>
</context>
<context>
    <name>StatsWindow</name>
    <message numerus="yes">
        <source>%n logs</source>
        <translation>
            <numerusform>%n журнал</numerusform>
            <numerusform>%n журнала</numerusform>
            <numerusform>%n журналов</numerusform>
        </translation>
    </message>
    <message>
        <source>user %1 in %2</source>
        <translation>пользователь %1 в %2</translation>
    </message>
    <message>
        <source>host %1 of user %2 in %3</source>
        <translation>хост %1 пользователя %2 в %3</translation>
    </message>
    <message>
        <source>Statistics - %1</source>
        <translation>Статистика - %1</translation>
    </message>
    <message>
        <source>Counting...</source>
        <translation>Подсчёт...</translation>
    </message>
    <message>
        <source>By hour of day</source>
        <translation>По часам суток</translation>
    </message>
    <message>
        <source>By day</source>
        <translation>По дням</translation>
    </message>
    <message>
        <source>Top hosts</source>
        <translation>Популярные хосты</translation>
    </message>
    <message>
        <source>Hosts</source>
        <translation>Хосты</translation>
    </message>
    <message>
        <source>Users</source>
        <translation>Пользователи</translation>
    </message>
    <message>
        <source>Connection types</source>
        <translation>Типы соединений</translation>
    </message>
    <message>
        <source>Save chart as PNG...</source>
        <translation>Сохранить диаграмму как PNG...</translation>
    </message>
    <message>
        <source>Export table as CSV...</source>
        <translation>Экспорт таблицы в CSV...</translation>
    </message>
    <message>
        <source>Export HTML report...</source>
        <translation>Экспорт отчёта HTML...</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Закрыть</translation>
    </message>
    <message>
        <source>The statistics could not be counted.</source>
        <translation>Статистику не удалось подсчитать.</translation>
    </message>
    <message>
        <source>Requests: %1    Distinct hosts: %2    First request: %3    Last request: %4</source>
        <translation>Запросов: %1    Разных хостов: %2    Первый запрос: %3    Последний запрос: %4</translation>
    </message>
    <message>
        <source>    Users: %1</source>
        <translation>    Пользователей: %1</translation>
    </message>
    <message>
        <source>    (stopped: part of the log)</source>
        <translation>    (остановлено: часть журнала)</translation>
    </message>
    <message>
        <source>Requests by hour of day</source>
        <translation>Запросы по часам суток</translation>
    </message>
    <message>
        <source>Requests by day</source>
        <translation>Запросы по дням</translation>
    </message>
    <message numerus="yes">
        <source>Top %n hosts by requests</source>
        <translation>
            <numerusform>%n популярный хост по запросам</numerusform>
            <numerusform>%n популярных хоста по запросам</numerusform>
            <numerusform>%n популярных хостов по запросам</numerusform>
        </translation>
    </message>
    <message>
        <source>Hosts by requests</source>
        <translation>Хосты по запросам</translation>
    </message>
    <message>
        <source>No requests.</source>
        <translation>Запросов нет.</translation>
    </message>
    <message>
        <source>Save chart as PNG</source>
        <translation>Сохранить диаграмму как PNG</translation>
    </message>
    <message>
        <source>PNG images (*.png)</source>
        <translation>Изображения PNG (*.png)</translation>
    </message>
    <message>
        <source>Export table as CSV</source>
        <translation>Экспорт таблицы в CSV</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>Файлы CSV (*.csv)</translation>
    </message>
    <message>
        <source>Export HTML report</source>
        <translation>Экспорт отчёта HTML</translation>
    </message>
    <message>
        <source>HTML files (*.html)</source>
        <translation>Файлы HTML (*.html)</translation>
    </message>
</context>
<context>
    <name>StatusControls</name>
    <message>
        <source>UTF-8 only</source>
        <translation>Только UTF-8</translation>
    </message>
    <message>
        <source>Central European</source>
        <translation>Центральноевропейская</translation>
    </message>
    <message>
        <source>Cyrillic</source>
        <translation>Кириллица</translation>
    </message>
    <message>
        <source>Western European</source>
        <translation>Западноевропейская</translation>
    </message>
    <message>
        <source>Greek</source>
        <translation>Греческая</translation>
    </message>
    <message>
        <source>Turkish</source>
        <translation>Турецкая</translation>
    </message>
    <message>
        <source>Hebrew</source>
        <translation>Иврит</translation>
    </message>
    <message>
        <source>Arabic</source>
        <translation>Арабская</translation>
    </message>
    <message>
        <source>Baltic</source>
        <translation>Балтийская</translation>
    </message>
    <message>
        <source>Vietnamese</source>
        <translation>Вьетнамская</translation>
    </message>
    <message>
        <source>Cyrillic (DOS)</source>
        <translation>Кириллица (DOS)</translation>
    </message>
    <message>
        <source>United States (DOS)</source>
        <translation>США (DOS)</translation>
    </message>
    <message>
        <source>ISO 8859-1</source>
        <translation>ISO 8859-1</translation>
    </message>
    <message>
        <source>Follow the Growing Log</source>
        <translation>Следить за ростом журнала</translation>
    </message>
    <message>
        <source>Show the lines the proxy adds to the chosen log as they come</source>
        <translation>Показывать строки, которые прокси добавляет в выбранный журнал, по мере их появления</translation>
    </message>
    <message>
        <source>Right-click to follow the log or to choose the code page</source>
        <translation>Щелчок правой кнопкой — слежение за журналом и выбор кодовой страницы</translation>
    </message>
    <message>
        <source>Code Page (%1)</source>
        <translation>Кодовая страница (%1)</translation>
    </message>
</context>
<context>
    <name>TForm1</name>
    <message>
        <source>Total Accounts: %1</source>
        <translation>Всего учётных записей: %1</translation>
    </message>
    <message>
        <source>Found User: %1</source>
        <translation>Найден пользователь: %1</translation>
    </message>
    <message>
        <source>Found URL: %1</source>
        <translation>Найден URL: %1</translation>
    </message>
    <message>
        <source>Qelt Viewer</source>
        <translation>Qelt Viewer</translation>
    </message>
    <message>
        <source>Processing...</source>
        <translation>Обработка...</translation>
    </message>
    <message>
        <source>Open Log Folder</source>
        <translation>Открыть папку журналов</translation>
    </message>
    <message>
        <source>Delete Record or Node</source>
        <translation>Удалить запись или узел</translation>
    </message>
    <message>
        <source>Software Version</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Filter Manager</source>
        <translation>Менеджер фильтров</translation>
    </message>
    <message>
        <source>Delete Log File</source>
        <translation>Удалить файл журнала</translation>
    </message>
    <message>
        <source>Selected User: %1</source>
        <translation>Выбран пользователь: %1</translation>
    </message>
    <message>
        <source>Records Count: %1</source>
        <translation>Число записей: %1</translation>
    </message>
    <message>
        <source>Confirm</source>
        <translation>Подтверждение</translation>
    </message>
    <message>
        <source>Are you sure you want to delete %1 log file?</source>
        <translation>Вы действительно хотите удалить файл журнала %1?</translation>
    </message>
    <message>
        <source>Cannot delete file %1
%2</source>
        <translation>Не удаётся удалить файл %1
%2</translation>
    </message>
    <message>
        <source>About Software</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Qelt Viewer 2.5 build 0716

Views, colours and prunes the access logs of a proxy server.

Written by the Qelt Viewer developers.
Icons: Silk by Mark James (CC-BY 3.0), Tango (public domain),
Oxygen (LGPL-3+).</source>
        <translation>Qelt Viewer 2.5, сборка 0716

Просмотр, раскраска и чистка журналов доступа прокси-сервера.

Написана разработчиками Qelt Viewer.
Значки: Silk, автор Mark James (CC-BY 3.0), Tango (общественное достояние),
Oxygen (LGPL-3+).</translation>
    </message>
    <message>
        <source>Folder not found</source>
        <translation>Папка не найдена</translation>
    </message>
    <message>
        <source>Folder not readable</source>
        <translation>Папка недоступна для чтения</translation>
    </message>
    <message>
        <source>Cannot open folder %1
%2</source>
        <translation>Не удаётся открыть папку %1
%2</translation>
    </message>
    <message>
        <source>

There is no trash for it here: it will be deleted for good.</source>
        <translation>

Корзины для него здесь нет: он будет удалён навсегда.</translation>
    </message>
    <message>
        <source>%1 could not be moved to the trash. Delete it for good?</source>
        <translation>%1 не удалось переместить в корзину. Удалить навсегда?</translation>
    </message>
    <message>
        <source>Moved %1 to the trash.</source>
        <translation>%1 перемещён в корзину.</translation>
    </message>
    <message>
        <source>Deleted %1 for good.</source>
        <translation>%1 удалён навсегда.</translation>
    </message>
    <message>
        <source>Undo</source>
        <translation>Отменить</translation>
    </message>
    <message>
        <source>Restored %1 lines of %2.</source>
        <translation>Восстановлено строк: %1 (%2).</translation>
    </message>
    <message>
        <source>Deleted 1 line of %1.</source>
        <translation>Удалена 1 строка (%1).</translation>
    </message>
    <message>
        <source>Deleted %1 lines of %2.</source>
        <translation>Удалено строк: %1 (%2).</translation>
    </message>
    <message>
        <source>Ctrl+Z undoes it.</source>
        <translation>Ctrl+Z отменяет удаление.</translation>
    </message>
    <message>
        <source>Restored 1 line of %1.</source>
        <translation>Восстановлена 1 строка (%1).</translation>
    </message>
    <message>
        <source>Statistics</source>
        <translation>Статистика</translation>
    </message>
    <message>
        <source>Export List as CSV...</source>
        <translation>Экспорт списка в CSV...</translation>
    </message>
    <message>
        <source>Export List as CSV</source>
        <translation>Экспорт списка в CSV</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>Файлы CSV (*.csv)</translation>
    </message>
    <message>
        <source>Choose a log first.</source>
        <translation>Сначала выберите журнал.</translation>
    </message>
</context>
<context>
    <name>TManagerForm</name>
    <message>
        <source>Filter Manager</source>
        <translation>Менеджер фильтров</translation>
    </message>
    <message>
        <source>Add Group</source>
        <translation>Новая группа</translation>
    </message>
    <message>
        <source>Delete Group</source>
        <translation>Убрать группу</translation>
    </message>
    <message>
        <source>Add Filter</source>
        <translation>Новый фильтр</translation>
    </message>
    <message>
        <source>Delete Filter</source>
        <translation>Убрать фильтр</translation>
    </message>
    <message>
        <source>Group Color</source>
        <translation>Цвет группы</translation>
    </message>
    <message>
        <source>&quot;%1&quot; cannot be stored: code page %2 (CodePage in config.ini) has no byte for some of its characters. Nothing was stored.</source>
        <translation>«%1» нельзя сохранить: в кодовой странице %2 (CodePage в config.ini) нет байтов для некоторых его символов. Ничего не сохранено.</translation>
    </message>
    <message>
        <source>Please enter a Group Name</source>
        <translation>Введите имя группы</translation>
    </message>
    <message>
        <source>Please eneter a filter entry</source>
        <translation>Введите текст фильтра</translation>
    </message>
    <message>
        <source>

It would be stored as:

%1

Keep this text, edit it, or cancel?</source>
        <translation>

Он будет сохранён так:

%1

Оставить этот текст, изменить его или отменить?</translation>
    </message>
    <message>
        <source>&amp;Keep</source>
        <translation>&amp;Оставить</translation>
    </message>
    <message>
        <source>&amp;Edit</source>
        <translation>&amp;Изменить</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>A group name can hold %1 bytes, and &quot;%2&quot; is longer.</source>
        <translation>Имя группы вмещает %1 байт, а «%2» длиннее.</translation>
    </message>
    <message>
        <source>A filter can hold %1 bytes, and &quot;%2&quot; is longer.</source>
        <translation>Фильтр вмещает %1 байт, а «%2» длиннее.</translation>
    </message>
    <message>
        <source>Delete the group &quot;%1&quot; and its filter?</source>
        <translation>Удалить группу «%1» и её фильтр?</translation>
    </message>
    <message>
        <source>Delete the group &quot;%1&quot; and its %2 filters?</source>
        <translation>Удалить группу «%1» и её фильтры (%2)?</translation>
    </message>
</context>
<context>
    <name>WindowActions</name>
    <message>
        <source>Open</source>
        <translation>Открыть</translation>
    </message>
    <message>
        <source>Copy URL</source>
        <translation>Копировать URL</translation>
    </message>
    <message>
        <source>Copy Rows</source>
        <translation>Копировать строки</translation>
    </message>
    <message>
        <source>Add Host to Filter Group</source>
        <translation>Добавить хост в группу фильтров</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Удалить</translation>
    </message>
    <message>
        <source>List</source>
        <translation>Показать запросы</translation>
    </message>
    <message>
        <source>Copy Name</source>
        <translation>Копировать имя</translation>
    </message>
    <message>
        <source>Order Tree</source>
        <translation>Порядок дерева</translation>
    </message>
    <message>
        <source>As in the Log</source>
        <translation>Как в журнале</translation>
    </message>
    <message>
        <source>By Name</source>
        <translation>По имени</translation>
    </message>
    <message>
        <source>By Count</source>
        <translation>По числу запросов</translation>
    </message>
</context>
</TS>
