#pragma once

// A web server on 127.0.0.1 for the update check, answering every request with a canned reply:
// a page with a status, a redirect, a connection closed at once, silence, or a page too large
// to read.

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

class DescriptorServer : public QObject
{
public:
    // Trickle: a page promised whole but sent one byte every 100 ms; RedirectLoop: every answer
    // sends the client back to the same address; Redirect: sends it to `location` with `status`;
    // CutShort: the page with `status`, its connection closed 100 bytes before the promised end.
    enum Mode { Page, CloseAtOnce, Silent, Huge, Trickle, RedirectLoop, Redirect, CutShort };

    Mode mode = Page;
    QByteArray status = "200 OK";
    QByteArray body;
    QByteArray location;
    QList<QByteArray> requestLines; // "GET /Updates/vizzolen.xml HTTP/1.1", one per request
    int clientsGone = 0;            // connections the client closed before the server did

    DescriptorServer()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, &DescriptorServer::accept);
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }

private:
    void accept()
    {
        while (QTcpSocket *socket = server_.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                if (!socket->property("closedByServer").toBool())
                    ++clientsGone;
                socket->deleteLater();
            });
        }
    }

    void serve(QTcpSocket *socket)
    {
        QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n") || socket->property("served").toBool())
            return;
        socket->setProperty("served", true);
        requestLines << request.left(request.indexOf("\r\n"));

        switch (mode) {
        case Silent:
            return;
        case CloseAtOnce:
            socket->setProperty("closedByServer", true);
            socket->abort();
            return;
        case Trickle: {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(100);
            return;
        }
        case RedirectLoop:
        case Redirect: {
            const QByteArray target = mode == Redirect ? location : url().toLatin1() + "/Updates/vizzolen.xml";
            socket->write("HTTP/1.1 " + (mode == Redirect ? status : QByteArray("302 Found")) + "\r\nLocation: "
                          + target + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->setProperty("closedByServer", true);
            socket->disconnectFromHost();
            return;
        }
        case Page:
        case Huge:
        case CutShort: {
            const QByteArray content = mode == Huge ? QByteArray(3 << 20, 'x') : body;
            const qsizetype promised = content.size() + (mode == CutShort ? 100 : 0);
            socket->write("HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: "
                          + QByteArray::number(promised) + "\r\nConnection: close\r\n\r\n");
            socket->write(content);
            socket->setProperty("closedByServer", true);
            socket->disconnectFromHost();
            return;
        }
        }
    }

    QTcpServer server_;
};
