#include "accessibility.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <QTabBar>
#include <QTimer>
#include <QWidget>
#include <QtGui/private/qspiaccessiblebridge_p.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

// One bridge a process: it registers the program with the bus's registry.
std::unique_ptr<QSpiAccessibleBridge>& Bridge()
{
    static std::unique_ptr<QSpiAccessibleBridge> bridge;
    return bridge;
}

} // namespace

CAccessibilityReader::CAccessibilityReader()
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        m_error = QStringLiteral("no session bus: run the test under dbus-run-session");
        return;
    }
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    if (!Bridge())
        Bridge() = std::make_unique<QSpiAccessibleBridge>();
}

CAccessibilityReader::~CAccessibilityReader()
{
    Bridge().reset();
}

QList<CAccessibleNode> CAccessibilityReader::ReadWindow(const QString& title,
                                                        std::chrono::milliseconds timeout)
{
    if (!Bridge())
        return {};
    m_error.clear();
    QProcess reader;
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&reader, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&reader, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    // The reader waits for the program to show up on the bus; this loop
    // answers its questions meanwhile.
    reader.start(QStringLiteral(MURMURLY_SYSTEM_PYTHON),
                 {QStringLiteral(MURMURLY_ATSPI_TREE), QString::number(QCoreApplication::applicationPid()),
                  title, QString::number(timeout.count() / 1000.0)});
    guard.start(timeout + 5s);
    loop.exec();
    if (reader.state() != QProcess::NotRunning) {
        reader.kill();
        reader.waitForFinished(5000);
        m_error = QStringLiteral("the accessibility reader did not finish");
        return {};
    }
    if (reader.exitStatus() != QProcess::NormalExit || reader.exitCode() != 0) {
        m_error = reader.errorString() + QLatin1Char(' ') + QString::fromUtf8(reader.readAllStandardError());
        return {};
    }
    QList<CAccessibleNode> nodes;
    for (const QByteArray& line : reader.readAllStandardOutput().split('\n')) {
        const QJsonArray fields = QJsonDocument::fromJson(line).array();
        if (fields.size() != 4)
            continue;
        CAccessibleNode node{fields[0].toInt(), fields[1].toBool(), fields[2].toString(), {}};
        for (const QJsonValue& name : fields[3].toArray())
            node.interfaces.append(name.toString());
        nodes.append(node);
    }
    return nodes;
}

QStringList UnnamedControls(const QList<CAccessibleNode>& nodes)
{
    QStringList unnamed;
    QStringList path;
    for (const CAccessibleNode& node : nodes) {
        path.resize(node.depth);
        path.append(node.name.isEmpty() ? QStringLiteral("(%1)").arg(node.interfaces.join(QLatin1Char(',')))
                                        : node.name);
        if (node.focusable && node.name.trimmed().isEmpty())
            unnamed.append(path.join(QStringLiteral(" > ")));
    }
    return unnamed;
}

QStringList MnemonicClashes(QWidget* window)
{
    QHash<QString, QStringList> claims;
    const auto claim = [&claims](const QString& text) {
        const QKeySequence key = QKeySequence::mnemonic(text);
        if (!key.isEmpty())
            claims[key.toString()].append(text);
    };
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (!widget->isVisible() || widget->window() != window)
            continue;
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            claim(button->text());
        } else if (auto* label = qobject_cast<QLabel*>(widget); label && label->buddy()) {
            claim(label->text());
        } else if (auto* tabs = qobject_cast<QTabBar*>(widget)) {
            for (int i = 0; i < tabs->count(); ++i)
                claim(tabs->tabText(i));
        } else if (auto* bar = qobject_cast<QMenuBar*>(widget)) {
            for (QAction* menu : bar->actions())
                if (menu->isVisible())
                    claim(menu->text());
        }
    }
    QStringList clashes;
    for (auto it = claims.cbegin(); it != claims.cend(); ++it)
        if (it.value().size() > 1)
            clashes.append(it.key() + QStringLiteral(": ") + it.value().join(QStringLiteral(", ")));
    clashes.sort();
    return clashes;
}
