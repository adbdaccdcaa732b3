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
</TS>
