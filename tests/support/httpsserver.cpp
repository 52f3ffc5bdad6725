#include "httpsserver.h"

#include "testenv.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace quenlo::test {

namespace {

QString runOpenssl(const QStringList &arguments, const QString &folder)
{
    QProcess openssl;
    openssl.setWorkingDirectory(folder);
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        return QStringLiteral("openssl %1 failed: %2")
            .arg(arguments.join(u' '), QString::fromLocal8Bit(openssl.readAll()));
    return {};
}

QStringList ecKey()
{
    return { "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes" };
}

QString makeCa(const QString &folder, const QString &name, const QString &commonName)
{
    return runOpenssl(QStringList { "req", "-x509", "-new" } + ecKey()
            + QStringList { "-keyout", name + ".key", "-out", name + ".crt", "-days", "2", "-subj", "/CN=" + commonName,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign" },
        folder);
}

QString makeLeaf(const QString &folder, const QString &name, const QString &ca, const QByteArray &altNames)
{
    const QByteArray extensions = "subjectAltName=" + altNames
        + "\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n";
    if (!writeFile(folder + "/" + name + ".ext", extensions))
        return QStringLiteral("cannot write %1.ext").arg(name);
    QString error = runOpenssl(QStringList { "req", "-new" } + ecKey()
            + QStringList { "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name },
        folder);
    if (error.isEmpty())
        error = runOpenssl({ "x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
                               "-CAcreateserial", "-out", name + ".crt", "-days", "2", "-extfile", name + ".ext" },
            folder);
    return error;
}

} // namespace

TestCertificates TestCertificates::make(const QString &folder)
{
    TestCertificates made;
    for (const QString &error :
        { makeCa(folder, "ca", "Quenlo Test CA"), makeCa(folder, "unrelated-ca", "Unrelated Test CA"),
            makeLeaf(folder, "server", "ca", "IP:127.0.0.1,DNS:localhost"),
            makeLeaf(folder, "elsewhere", "ca", "DNS:elsewhere.invalid") }) {
        if (!error.isEmpty() && made.error.isEmpty())
            made.error = error;
    }
    made.caCert = folder + "/ca.crt";
    made.unrelatedCaCert = folder + "/unrelated-ca.crt";
    made.serverCert = folder + "/server.crt";
    made.serverKey = folder + "/server.key";
    made.otherHostCert = folder + "/elsewhere.crt";
    made.otherHostKey = folder + "/elsewhere.key";
    return made;
}

void unsetProxyVariables()
{
    for (const char *name : { "http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" })
        qunsetenv(name);
}

QString python3()
{
    if (QFile::exists(QStringLiteral("/usr/bin/python3")))
        return QStringLiteral("/usr/bin/python3");
    return QStandardPaths::findExecutable(QStringLiteral("python3"));
}

QList<QByteArray> HttpsTestServer::Request::values(const QByteArray &name) const
{
    QList<QByteArray> found;
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            found.append(value);
    }
    return found;
}

HttpsTestServer::HttpsTestServer(const QString &certFile, const QString &keyFile)
    : m_folder(makeFolder(QStringLiteral("https-server")))
    , m_routesFile(m_folder + "/routes.json")
    , m_logFile(m_folder + "/requests.jsonl")
    , m_process(std::make_unique<QProcess>())
{
    writeRoutes();
    writeFile(m_logFile, {});
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(python3(),
        { sourceDir() + "/tests/support/httpsserver.py", "--cert", certFile, "--key", keyFile, "--routes", m_routesFile,
            "--log", m_logFile });
    if (!m_process->waitForStarted(10000)) {
        m_error = QStringLiteral("cannot start python3: ") + m_process->errorString();
        return;
    }
    while (!m_process->canReadLine() && m_process->waitForReadyRead(10000)) { }
    const QByteArray line = m_process->readLine().trimmed();
    if (!line.startsWith("PORT ")) {
        m_error = QStringLiteral("the HTTPS server did not start: ") + QString::fromUtf8(line);
        return;
    }
    m_port = quint16(line.mid(5).toUInt());
}

HttpsTestServer::~HttpsTestServer()
{
    if (m_process->state() == QProcess::NotRunning)
        return;
    // The server ends when its standard input closes.
    m_process->closeWriteChannel();
    if (!m_process->waitForFinished(3000)) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
}

QString HttpsTestServer::origin() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(m_port);
}

void HttpsTestServer::route(const QByteArray &method, const QByteArray &path, const Route &route)
{
    m_routes.insert(method + ' ' + path, route);
    writeRoutes();
}

HttpsTestServer::Route HttpsTestServer::json(
    int status, const QByteArray &body, QList<QPair<QByteArray, QByteArray>> extraHeaders)
{
    Route r;
    r.status = status;
    r.body = body;
    r.headers += extraHeaders;
    return r;
}

HttpsTestServer::Route HttpsTestServer::withCookies(int status, const QByteArrayList &cookies, const QByteArray &body)
{
    Route r = json(status, body);
    for (const QByteArray &cookie : cookies)
        r.headers.append({ "Set-Cookie", cookie });
    return r;
}

void HttpsTestServer::clearRoutes()
{
    m_routes.clear();
    writeRoutes();
}

void HttpsTestServer::writeRoutes()
{
    QJsonObject all;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it) {
        const Route &r = it.value();
        QJsonArray headers;
        for (const auto &[name, value] : r.headers)
            headers.append(QJsonArray { QString::fromLatin1(name), QString::fromLatin1(value) });
        static const char *const modes[] = { "answer", "hang", "trickle" };
        all.insert(QString::fromUtf8(it.key()),
            QJsonObject { { "status", r.status }, { "headers", headers },
                { "body64", QString::fromLatin1(r.body.toBase64()) },
                { "mode", QString::fromLatin1(modes[int(r.mode)]) }, { "trickleMs", r.trickleMs },
                { "trickleBytes", r.trickleBytes }, { "hangAfterTrickle", r.hangAfterTrickle } });
    }
    // Replaced in one rename, so the server never reads half a file.
    QSaveFile file(m_routesFile);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(all).toJson());
        file.commit();
    }
}

QList<HttpsTestServer::Request> HttpsTestServer::requests() const
{
    QList<Request> found;
    QFile file(m_logFile);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.isEmpty() || entry.contains(QStringLiteral("event")))
            continue;
        Request r;
        r.method = entry.value("method").toString().toLatin1();
        r.target = entry.value("target").toString().toLatin1();
        for (const QJsonValue &header : entry.value("headers").toArray()) {
            const QJsonArray pair = header.toArray();
            r.headers.append({ pair.at(0).toString().toLatin1(), pair.at(1).toString().toLatin1() });
        }
        r.body = QByteArray::fromBase64(entry.value("body64").toString().toLatin1());
        found.append(r);
    }
    return found;
}

int HttpsTestServer::countEvents(const QString &event) const
{
    QFile file(m_logFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (QJsonDocument::fromJson(line).object().value("event").toString() == event)
            ++count;
    }
    return count;
}

void HttpsTestServer::clearLog()
{
    writeFile(m_logFile, {});
}

} // namespace quenlo::test
