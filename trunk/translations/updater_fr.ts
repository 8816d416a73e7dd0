<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>MainWindow</name>
    <message>
        <source>Updater</source>
        <translation>Mise à jour</translation>
    </message>
    <message>
        <source>Checking for updates...</source>
        <translation>Recherche de mises à jour…</translation>
    </message>
    <message>
        <source>Downloading update...</source>
        <translation>Téléchargement de la mise à jour…</translation>
    </message>
    <message>
        <source>The installation needs attention. Starting %1...</source>
        <translation>L’installation doit être vérifiée. Démarrage de %1…</translation>
    </message>
    <message>
        <source>%1 of %2 (%3/s)</source>
        <translation>%1 sur %2 (%3/s)</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 sur %2</translation>
    </message>
    <message>
        <source>%1 (%2/s)</source>
        <translation>%1 (%2/s)</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Installation de la mise à jour…</translation>
    </message>
    <message>
        <source>Starting %1...</source>
        <translation>Démarrage de %1…</translation>
    </message>
    <message>
        <source>Installing version %1...</source>
        <translation>Installation de la version %1…</translation>
    </message>
</context>
<context>
    <name>ReleaseSource</name>
    <message>
        <source>Connection lost; resuming (%1 of %2)...</source>
        <translation>Connexion perdue, reprise du téléchargement (essai %1 sur %2)…</translation>
    </message>
</context>
<context>
    <name>Trial</name>
    <message>
        <source>Version %1 did not start properly; restored version %2</source>
        <translation>La version %1 n’a pas démarré correctement&#xa0;; la version %2 a été rétablie</translation>
    </message>
    <message>
        <source>Version %1 did not start properly; restoring version %2 failed</source>
        <translation>La version %1 n’a pas démarré correctement&#xa0;; la version %2 n’a pas pu être rétablie</translation>
    </message>
    <message>
        <source>Version %1 did not confirm a start; version %2 is restored at a start after the application has closed</source>
        <translation>La version %1 n’a confirmé aucun démarrage&#xa0;; la version %2 sera rétablie au prochain démarrage, une fois l’application fermée</translation>
    </message>
</context>
<context>
    <name>UpdateQuestion</name>
    <message>
        <source>Installed version: none</source>
        <translation>Version installée&#xa0;: aucune</translation>
    </message>
    <message>
        <source>Installed version: %1</source>
        <translation>Version installée&#xa0;: %1</translation>
    </message>
    <message>
        <source>Published version: %1</source>
        <translation>Version disponible&#xa0;: %1</translation>
    </message>
    <message>
        <source>Download size: %1</source>
        <translation>Taille du téléchargement&#xa0;: %1</translation>
    </message>
    <message>
        <source>The publisher has marked this update as important.</source>
        <translation>L’éditeur a signalé cette mise à jour comme importante.</translation>
    </message>
    <message>
        <source>Don&apos;t ask again for this version</source>
        <translation>Ne plus demander pour cette version</translation>
    </message>
</context>
</TS>
