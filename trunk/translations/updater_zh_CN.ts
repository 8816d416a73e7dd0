<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>Updater</source>
        <translation>更新程序</translation>
    </message>
    <message>
        <source>Checking for updates...</source>
        <translation>正在检查更新…</translation>
    </message>
    <message>
        <source>Downloading update...</source>
        <translation>正在下载更新…</translation>
    </message>
    <message>
        <source>The installation needs attention. Starting %1...</source>
        <translation>安装需要检查。正在启动 %1…</translation>
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
        <translation>正在安装更新…</translation>
    </message>
    <message>
        <source>Starting %1...</source>
        <translation>正在启动 %1…</translation>
    </message>
    <message>
        <source>Installing version %1...</source>
        <translation>正在安装版本 %1…</translation>
    </message>
</context>
<context>
    <name>ReleaseSource</name>
    <message>
        <source>Connection lost; resuming (%1 of %2)...</source>
        <translation>连接已中断，正在继续下载（第 %1 次，共 %2 次）…</translation>
    </message>
</context>
<context>
    <name>Trial</name>
    <message>
        <source>Version %1 did not start properly; restored version %2</source>
        <translation>版本 %1 未能正常启动，已恢复到版本 %2</translation>
    </message>
    <message>
        <source>Version %1 did not start properly; restoring version %2 failed</source>
        <translation>版本 %1 未能正常启动，恢复到版本 %2 失败</translation>
    </message>
    <message>
        <source>Version %1 did not confirm a start; version %2 is restored at a start after the application has closed</source>
        <translation>版本 %1 未确认启动成功；应用程序关闭后，将在下次启动时恢复到版本 %2</translation>
    </message>
</context>
<context>
    <name>UpdateQuestion</name>
    <message>
        <source>Installed version: none</source>
        <translation>已安装版本：无</translation>
    </message>
    <message>
        <source>Installed version: %1</source>
        <translation>已安装版本：%1</translation>
    </message>
    <message>
        <source>Published version: %1</source>
        <translation>可用版本：%1</translation>
    </message>
    <message>
        <source>Download size: %1</source>
        <translation>下载大小：%1</translation>
    </message>
    <message>
        <source>The publisher has marked this update as important.</source>
        <translation>发布者已将此更新标记为重要更新。</translation>
    </message>
    <message>
        <source>Don&apos;t ask again for this version</source>
        <translation>不再询问此版本</translation>
    </message>
</context>
</TS>
