<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>MainWindow</name>
    <message>
        <source>Updater</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Checking for updates...</source>
        <translation>Suche nach Updates…</translation>
    </message>
    <message>
        <source>Downloading update...</source>
        <translation>Update wird heruntergeladen…</translation>
    </message>
    <message>
        <source>The installation needs attention. Starting %1...</source>
        <translation>Die Installation muss überprüft werden. %1 wird gestartet…</translation>
    </message>
    <message>
        <source>%1 of %2 (%3/s)</source>
        <translation>%1 von %2 (%3/s)</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
    <message>
        <source>%1 (%2/s)</source>
        <translation>%1 (%2/s)</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Update wird installiert…</translation>
    </message>
    <message>
        <source>Starting %1...</source>
        <translation>%1 wird gestartet…</translation>
    </message>
    <message>
        <source>Installing version %1...</source>
        <translation>Version %1 wird installiert…</translation>
    </message>
</context>
<context>
    <name>ReleaseSource</name>
    <message>
        <source>Connection lost; resuming (%1 of %2)...</source>
        <translation>Verbindung unterbrochen; Download wird fortgesetzt (Versuch %1 von %2)…</translation>
    </message>
</context>
<context>
    <name>Trial</name>
    <message>
        <source>Version %1 did not start properly; restored version %2</source>
        <translation>Version %1 ließ sich nicht richtig starten; Version %2 wurde wiederhergestellt</translation>
    </message>
    <message>
        <source>Version %1 did not start properly; restoring version %2 failed</source>
        <translation>Version %1 ließ sich nicht richtig starten; Version %2 konnte nicht wiederhergestellt werden</translation>
    </message>
    <message>
        <source>Version %1 did not confirm a start; version %2 is restored at a start after the application has closed</source>
        <translation>Version %1 hat keinen erfolgreichen Start bestätigt; Version %2 wird beim nächsten Start nach dem Beenden der Anwendung wiederhergestellt</translation>
    </message>
</context>
<context>
    <name>UpdateQuestion</name>
    <message>
        <source>Installed version: none</source>
        <translation>Installierte Version: keine</translation>
    </message>
    <message>
        <source>Installed version: %1</source>
        <translation>Installierte Version: %1</translation>
    </message>
    <message>
        <source>Published version: %1</source>
        <translation>Verfügbare Version: %1</translation>
    </message>
    <message>
        <source>Download size: %1</source>
        <translation>Downloadgröße: %1</translation>
    </message>
    <message>
        <source>The publisher has marked this update as important.</source>
        <translation>Der Herausgeber hat dieses Update als wichtig gekennzeichnet.</translation>
    </message>
    <message>
        <source>Don&apos;t ask again for this version</source>
        <translation>Für diese Version nicht mehr fragen</translation>
    </message>
</context>
</TS>
