<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja">
<context>
    <name>MainWindow</name>
    <message>
        <source>Updater</source>
        <translation>アップデート</translation>
    </message>
    <message>
        <source>Checking for updates...</source>
        <translation>アップデートを確認しています…</translation>
    </message>
    <message>
        <source>Downloading update...</source>
        <translation>アップデートをダウンロードしています…</translation>
    </message>
    <message>
        <source>The installation needs attention. Starting %1...</source>
        <translation>インストールの確認が必要です。%1 を起動しています…</translation>
    </message>
    <message>
        <source>%1 of %2 (%3/s)</source>
        <translation>%1 / %2（%3/秒）</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 / %2</translation>
    </message>
    <message>
        <source>%1 (%2/s)</source>
        <translation>%1（%2/秒）</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>アップデートをインストールしています…</translation>
    </message>
    <message>
        <source>Starting %1...</source>
        <translation>%1 を起動しています…</translation>
    </message>
    <message>
        <source>Installing version %1...</source>
        <translation>バージョン %1 をインストールしています…</translation>
    </message>
</context>
<context>
    <name>ReleaseSource</name>
    <message>
        <source>Connection lost; resuming (%1 of %2)...</source>
        <translation>接続が切断されました。ダウンロードを再開しています（%1/%2 回目）…</translation>
    </message>
</context>
<context>
    <name>Trial</name>
    <message>
        <source>Version %1 did not start properly; restored version %2</source>
        <translation>バージョン %1 が正しく起動しなかったため、バージョン %2 に戻しました</translation>
    </message>
    <message>
        <source>Version %1 did not start properly; restoring version %2 failed</source>
        <translation>バージョン %1 が正しく起動しなかったため、バージョン %2 に戻そうとしましたが、失敗しました</translation>
    </message>
    <message>
        <source>Version %1 did not confirm a start; version %2 is restored at a start after the application has closed</source>
        <translation>バージョン %1 の正常な起動が確認されませんでした。アプリケーションの終了後、次回の起動時にバージョン %2 に戻します</translation>
    </message>
</context>
<context>
    <name>UpdateQuestion</name>
    <message>
        <source>Installed version: none</source>
        <translation>インストール済みのバージョン: なし</translation>
    </message>
    <message>
        <source>Installed version: %1</source>
        <translation>インストール済みのバージョン: %1</translation>
    </message>
    <message>
        <source>Published version: %1</source>
        <translation>公開中のバージョン: %1</translation>
    </message>
    <message>
        <source>Download size: %1</source>
        <translation>ダウンロードサイズ: %1</translation>
    </message>
    <message>
        <source>The publisher has marked this update as important.</source>
        <translation>発行元はこのアップデートを重要なものとして指定しています。</translation>
    </message>
    <message>
        <source>Don&apos;t ask again for this version</source>
        <translation>今後このバージョンについて確認しない</translation>
    </message>
</context>
</TS>
