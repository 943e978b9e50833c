#pragma once

// Takes the place of the system's handlers for the schemes the program opens, and keeps the
// URLs handed to them.

#include <QDesktopServices>
#include <QObject>
#include <QUrl>

class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

    UrlCatcher()
    {
        for (const char *scheme : {"mailto", "http", "https"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~UrlCatcher() override
    {
        for (const char *scheme : {"mailto", "http", "https"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

public slots:
    void open(const QUrl &url) { urls << url; }
};
