#include "settings.h"

#include "platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>

QString serverHost;
int serverPort = 0;
QString serverAppDir;
QString appName;
QStringList serverMirrors;
QString serverProxy;

namespace {
// The "sappdir" value as written (null: no such line), suffixed anew when
// "slayout" changes the layout, whichever of the two lines comes first.
QString appDirValue;

void applyAppDir()
{
    if (!appDirValue.isNull())
        serverAppDir = appDirValue + Platform::serverFolderSuffix();
}

QString layoutKey()
{
    return QStringLiteral("slayout");
}
} // namespace

void Settings::applyLine(const QString &line)
{
    const QStringList parts
        = line.split(QLatin1String("=="), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() < 2)
        return;
    const QString &key = parts.at(0);
    const QString &value = parts.at(1);

    if (key == QLatin1String("surl")) {
        serverHost = value;
    } else if (key == QLatin1String("sport")) {
        serverPort = value.toInt(nullptr, 10);
    } else if (key == QLatin1String("sappdir")) {
        appDirValue = value;
        applyAppDir();
    } else if (key == QLatin1String("sappname")) {
        appName = value;
    } else if (key == QLatin1String("smirrors")) {
        serverMirrors = value.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    } else if (key == QLatin1String("sproxy")) {
        serverProxy = value.trimmed();
    } else if (key == layoutKey()) {
        if (!Platform::chooseLayout(value))
            qDebug().noquote() << QStringLiteral("Layout \"%1\" in the configuration is not known: "
                                                 "the platform's layout is used")
                                      .arg(value);
        applyAppDir();
    }
}

QString Settings::layoutIn(const QString &dir)
{
    QFile file(dir + QLatin1String("/config.conf"));
    QString value;
    // Asked on every path the updater builds: a FIFO there must not block it.
    if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly))
        return value;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    while (!stream.atEnd()) {
        const QStringList parts = stream.readLine().split(
            QLatin1String("=="), Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (parts.size() >= 2 && parts.at(0) == layoutKey())
            value = parts.at(1);
    }
    return value;
}

void Settings::read(QTextStream &stream)
{
    while (!stream.atEnd())
        applyLine(stream.readLine());
}

void Settings::load(const QString &appDir)
{
    QFile file(appDir + QLatin1String("/config.conf"));
    if (!file.open(QIODevice::ReadOnly)) {
        // The person who has to fix it needs to know which file, where, and why.
        const QString text
            = QStringLiteral("Cannot read the configuration file \"%1\":\n%2")
                  .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
        QMessageBox::information(
            nullptr, QStringLiteral("error"), text, QMessageBox::Ok, QMessageBox::NoButton);
    }
    QTextStream stream(&file);
    // The same file must read the same under any locale.
    stream.setCodec("UTF-8");
    read(stream);
    file.close();
}

void Settings::reset()
{
    serverHost.clear();
    serverPort = 0;
    serverAppDir.clear();
    appName.clear();
    serverMirrors.clear();
    serverProxy.clear();
    appDirValue = QString();
    Platform::chooseLayout(QString());
}
