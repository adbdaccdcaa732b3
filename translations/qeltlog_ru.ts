<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>qeltlog</name>
    <message>
        <source>usage: qeltlog [--app-dir DIR] [--format text|tsv] COMMAND [ARG...]</source>
        <translation>использование: qeltlog [--app-dir КАТАЛОГ] [--format text|tsv] КОМАНДА [АРГУМЕНТ...]</translation>
    </message>
    <message>
        <source>commands:</source>
        <translation>команды:</translation>
    </message>
</context>
</TS>
