<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>MainWindow</name>
    <message>
        <source>Updater</source>
        <translation>Actualización</translation>
    </message>
    <message>
        <source>Checking for updates...</source>
        <translation>Buscando actualizaciones…</translation>
    </message>
    <message>
        <source>Downloading update...</source>
        <translation>Descargando la actualización…</translation>
    </message>
    <message>
        <source>The installation needs attention. Starting %1...</source>
        <translation>Es necesario revisar la instalación. Iniciando %1…</translation>
    </message>
    <message>
        <source>%1 of %2 (%3/s)</source>
        <translation>%1 de %2 (%3/s)</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 de %2</translation>
    </message>
    <message>
        <source>%1 (%2/s)</source>
        <translation>%1 (%2/s)</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Instalando la actualización…</translation>
    </message>
    <message>
        <source>Starting %1...</source>
        <translation>Iniciando %1…</translation>
    </message>
    <message>
        <source>Installing version %1...</source>
        <translation>Instalando la versión %1…</translation>
    </message>
</context>
<context>
    <name>ReleaseSource</name>
    <message>
        <source>Connection lost; resuming (%1 of %2)...</source>
        <translation>Se perdió la conexión; reanudando la descarga (intento %1 de %2)…</translation>
    </message>
</context>
<context>
    <name>Trial</name>
    <message>
        <source>Version %1 did not start properly; restored version %2</source>
        <translation>La versión %1 no se inició correctamente; se ha restaurado la versión %2</translation>
    </message>
    <message>
        <source>Version %1 did not start properly; restoring version %2 failed</source>
        <translation>La versión %1 no se inició correctamente; no se ha podido restaurar la versión %2</translation>
    </message>
    <message>
        <source>Version %1 did not confirm a start; version %2 is restored at a start after the application has closed</source>
        <translation>La versión %1 no ha confirmado ningún inicio; la versión %2 se restaurará en el próximo inicio, una vez cerrada la aplicación</translation>
    </message>
</context>
<context>
    <name>UpdateQuestion</name>
    <message>
        <source>Installed version: none</source>
        <translation>Versión instalada: ninguna</translation>
    </message>
    <message>
        <source>Installed version: %1</source>
        <translation>Versión instalada: %1</translation>
    </message>
    <message>
        <source>Published version: %1</source>
        <translation>Versión disponible: %1</translation>
    </message>
    <message>
        <source>Download size: %1</source>
        <translation>Tamaño de la descarga: %1</translation>
    </message>
    <message>
        <source>The publisher has marked this update as important.</source>
        <translation>El editor ha marcado esta actualización como importante.</translation>
    </message>
    <message>
        <source>Don&apos;t ask again for this version</source>
        <translation>No volver a preguntar por esta versión</translation>
    </message>
</context>
</TS>
