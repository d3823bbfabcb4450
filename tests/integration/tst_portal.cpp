#include "EisKeyboard.h"
#include "TestSupport.h"
#include "WaylandDesktop.h"

#include <QDBusArgument>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStandardPaths>
#ifdef KELMO_TEST_EIS
#include <libeis.h>
#include <sys/mman.h>
#include <xkbcommon/xkbcommon.h>
#endif

using namespace Qt::StringLiterals;
using namespace NotificationName;

namespace {
using Layouts = std::tuple<QString, QString, QList<uint>>;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;

#ifdef KELMO_TEST_EIS
// A compositor's EIS side (libeis) for the portal to hand out: one keyboard with a US Dvorak
// keymap, keys recorded as evdev codes; it can stop reading (as a stalled compositor), and hang up.
class StandInEis {
public:
    StandInEis() {
        eis_setup_backend_fd(eis_);
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { dispatch(); });
    }
    ~StandInEis() {
        for (const int end : std::as_const(clientEnds_))
            ::close(end);
        eis_unref(eis_);
    }
    QStringList keys;

    // The connection the portal hands out.
    int newClient() {
        const int fd = eis_backend_fd_add_client(eis_);
        clientEnds_ << ::dup(fd);
        return fd;
    }
    // The last connection ends, for its client too, whoever else holds it.
    void hangUp() { ::shutdown(clientEnds_.last(), SHUT_RDWR); }
    void stall(bool stalled) {
        notifier_.setEnabled(!stalled);
        if (!stalled)
            dispatch();
    }

private:
    void dispatch() {
        eis_dispatch(eis_);
        while (eis_event* event = eis_get_event(eis_)) {
            switch (eis_event_get_type(event)) {
            case EIS_EVENT_CLIENT_CONNECT: {
                eis_client_connect(eis_event_get_client(event));
                eis_seat* seat = eis_client_new_seat(eis_event_get_client(event), "seat0");
                eis_seat_configure_capability(seat, EIS_DEVICE_CAP_KEYBOARD);
                eis_seat_add(seat); // libeis keeps what it was given
                eis_seat_unref(seat);
                break;
            }
            case EIS_EVENT_SEAT_BIND:
                if (eis_event_seat_has_capability(event, EIS_DEVICE_CAP_KEYBOARD))
                    addKeyboard(eis_event_get_seat(event));
                break;
            case EIS_EVENT_KEYBOARD_KEY:
                keys << u"%1 %2"_s.arg(eis_event_keyboard_get_key(event), 0, 16)
                            .arg(eis_event_keyboard_get_key_is_press(event) ? u"down" : u"up");
                break;
            default:
                break;
            }
            eis_event_unref(event);
        }
    }
    void addKeyboard(eis_seat* seat) {
        eis_device* device = eis_seat_new_device(seat);
        eis_device_configure_name(device, "keyboard");
        eis_device_configure_capability(device, EIS_DEVICE_CAP_KEYBOARD);
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const xkb_rule_names names{nullptr, nullptr, "us", "dvorak", nullptr};
        xkb_keymap* keymap =
            xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
        char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
        const int fd = ::memfd_create("keymap", MFD_CLOEXEC);
        const size_t size = std::strlen(text) + 1;
        if (::write(fd, text, size) == ssize_t(size)) {
            eis_keymap* given = eis_device_new_keymap(device, EIS_KEYMAP_TYPE_XKB, fd, size);
            eis_keymap_add(given);
            eis_keymap_unref(given);
        }
        ::close(fd);
        std::free(text);
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
        eis_device_add(device);
        eis_device_resume(device);
        eis_device_unref(device);
    }

    eis* eis_ = eis_new(nullptr);
    QSocketNotifier notifier_{eis_get_fd(eis_), QSocketNotifier::Read};
    QList<int> clientEnds_;
};
#else
struct StandInEis {
    int newClient() { return -1; }
};
#endif

// A stand-in for the desktop portal's D-Bus side, for what the real KDE backend can't be made to
// do here: decline, hand out restore tokens (version 2), never answer, refuse or sit on a key.
class StandInPortal final : public QDBusVirtualObject {
public:
    enum class Start { grant, decline, never };
    uint version = 1;
    Start start = Start::grant;
    QString tokenToGive;
    int refuseKey = -1;
    bool answerKeys = true;
    int sessions = 0;
    QStringList closedByAgent, keys;
    QList<QVariantMap> selected;
    StandInEis* eis = nullptr; // hands out ConnectToEIS where given

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QVariantList in = message.arguments();
        const QString member = message.member();
        if (member == u"Get") {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(version))));
        } else if (member == u"CreateSession" || member == u"SelectDevices" || member == u"Start") {
            const QVariantMap options = qdbus_cast<QVariantMap>(in.last());
            const QString request =
                u"%1/request/%2/%3"_s.arg(portalPath, message.service().mid(1).replace(u'.', u'_'),
                                          options.value(u"handle_token"_s).toString());
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            QVariantMap results;
            if (member == u"CreateSession") {
                const QString session = portalPath + u"/session/s%1"_s.arg(++sessions);
                results.insert(u"session_handle"_s, QVariant::fromValue(QDBusObjectPath(session)));
            } else if (member == u"SelectDevices") {
                selected << options;
            } else if (start == Start::never) {
                return true;
            } else if (start == Start::grant) {
                results.insert(u"devices"_s, 1u);
                if (!tokenToGive.isEmpty())
                    results.insert(u"restore_token"_s, tokenToGive);
            }
            connection.send(QDBusMessage::createSignal(request, u"org.freedesktop.portal.Request"_s,
                                                       u"Response"_s)
                            << uint(member == u"Start" && start == Start::decline) << results);
        } else if (member == u"ConnectToEIS" && eis) {
            const int fd = eis->newClient();
            connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fd))));
            ::close(fd);
        } else if (member == u"Close") {
            closedByAgent << message.path();
            connection.send(message.createReply());
        } else if (member.startsWith(u"NotifyKeyboard")) {
            keys << u"%1 %2 %3"_s.arg(member.mid(14), QString::number(in.at(2).toInt(), 16),
                                      in.at(3).toUInt() ? u"down"_s : u"up"_s);
            if (answerKeys)
                connection.send(keys.size() == refuseKey
                                    ? message.createErrorReply(QDBusError::Failed, u"not today"_s)
                                    : message.createReply());
        } else {
            return false;
        }
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
};

// A Wayland compositor that offers nothing and answers a client's sync requests only when told.
class StandInCompositor {
public:
    explicit StandInCompositor(const QString& socket)
        : path(socket) {
        ::listen(listening_, 1);
    }
    ~StandInCompositor() { ::close(client_), ::close(listening_); }
    const QString path;

    // The callbacks of the sync requests not answered yet.
    QList<quint32> syncs() {
        if (client_ < 0)
            client_ = ::accept4(listening_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        char chunk[4096];
        for (ssize_t got; client_ >= 0 && (got = ::read(client_, chunk, sizeof chunk)) > 0;)
            received_.append(chunk, got);
        // Messages: object, size << 16 | opcode, arguments; wl_display.sync is object 1, opcode 0.
        for (quint32 header[3]; received_.size() >= 12; received_.remove(0, header[1] >> 16)) {
            std::memcpy(header, received_.constData(), sizeof header);
            if (header[0] == 1 && (header[1] & 0xffff) == 0)
                syncs_ << header[2];
        }
        return syncs_;
    }
    void answerSyncs() {
        for (const quint32 callback : std::exchange(syncs_, {})) {
            // wl_callback.done, then wl_display.delete_id.
            const quint32 events[] = {callback, 12u << 16, 0, 1, 12u << 16 | 1, callback};
            QCOMPARE(::write(client_, events, sizeof events), ssize_t(sizeof events));
        }
    }

private:
    int listening_ = boundSocket(SOCK_STREAM | SOCK_NONBLOCK, path);
    int client_ = -1;
    QByteArray received_;
    QList<quint32> syncs_;
};
} // namespace

// The agent's portal backend against a stand-in portal, and in a real Wayland session.
class PortalTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        QVERIFY(f.emplace().bus.isRunning());
        state.emplace();
        QVERIFY(f->bus.connection().registerVirtualObject(portalPath, &portal.emplace(),
                                                          QDBusConnection::SubPath));
        QVERIFY(f->bus.connection().registerService(u"org.freedesktop.portal.Desktop"_s));
    }

    // Declined: untrusted, nothing kept, asked again on request; the session given up on is closed
    // and its late end leaves the one in use alone. Granted: a paste is its chord key by key; a
    // refused key fails it, undoing its presses; a stalled one blocks new presses, ending frees it.
    void declinedThenGrantedThenRefusedThenStalled() {
        portal->start = StandInPortal::Start::decline;
        LineProcess agent;
        QVERIFY(startAgent(agent));
        askForAccess(f->peer);
        QVERIFY(agent.waitForErrors(u"declined"));
        QVERIFY(agent.waitForLine(u"disabled"_s));
        QTRY_COMPARE(portal->closedByAgent, QStringList{portalPath + u"/session/s1"_s});
        QCOMPARE(f->peer.count(accessWasEnabled), 0);
        QVERIFY(!QFile::exists(grantFile()));
        portal->start = StandInPortal::Start::grant;
        f->peer.post(shouldRequestAccess);
        QVERIFY(f->peer.waitFor(accessWasEnabled));
        QCOMPARE(portal->sessions, 2);
        QVERIFY(f->bus.connection().send(
            QDBusMessage::createSignal(portalPath + u"/session/s1"_s,
                                       u"org.freedesktop.portal.Session"_s, u"Closed"_s)
            << QVariantMap()));
        f->peer.post(shouldPaste, 2);
        QVERIFY(f->peer.waitFor(didPaste, 2));
        QVERIFY(agent.errors().filter(u"ended"_s).isEmpty());
        // Before the compositor's keymap is known, the portal resolves the keysyms.
        const QStringList chord{u"Keysym ffe3 down"_s, u"Keysym 76 down"_s, u"Keysym 76 up"_s,
                                u"Keysym ffe3 up"_s};
        QCOMPARE(std::exchange(portal->keys, {}), chord + chord);
        portal->refuseKey = 2;
        f->peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste"));
        QCOMPARE(std::exchange(portal->keys, {}), chord);
        QCOMPARE(f->peer.count(didPaste), 2);

        portal->answerKeys = false;
        f->peer.post(shouldPaste, 2);
        QVERIFY(agent.waitForErrors(u"cannot paste", 3, 30000));
        QCOMPARE(portal->keys.filter(u"down"_s), QStringList{u"Keysym ffe3 down"_s});
        const qsizetype sent = portal->keys.size();
        f->peer.post(shouldPaste);
        QTRY_VERIFY(portal->keys.size() > sent);
        QVERIFY(stopAgent(agent, f->peer));
        QCOMPARE(portal->keys.filter(u"down"_s).size(), 1);
        QCOMPARE(portal->keys.last(), u"Keysym ffe3 up"_s);
    }

    // The portal answers before the compositor has the keys: a chord waits for the compositor to
    // catch up with the one before, and one that never does holds the pastes up a second at most.
    void chordsWaitForTheCompositorToCatchUp() {
        StandInCompositor compositor(state->path() + u"/wayland-0"_s);
        LineProcess agent;
        QVERIFY(startAgent(agent, compositor.path));
        askForAccess(f->peer);
        QVERIFY(f->peer.waitFor(accessWasEnabled));
        f->peer.post(shouldPaste, 3);
        QVERIFY(f->peer.waitFor(didPaste));
        QTRY_COMPARE(compositor.syncs().size(), 1);
        QCOMPARE(portal->keys.size(), 4);
        compositor.answerSyncs();
        QVERIFY(f->peer.waitFor(didPaste, 2));
        QTRY_COMPARE(compositor.syncs().size(), 1);
        // Unanswered: the last paste goes out all the same.
        QVERIFY(f->peer.waitFor(didPaste, 3));
        QCOMPARE(portal->keys.size(), 12);
        QVERIFY(stopAgent(agent, f->peer)); // while the compositor is awaited
    }

    // Through the compositor's EIS connection: the keys are its keyboard's keycodes, the next chord
    // waits until the compositor has read the one before (one may go meanwhile), and when the
    // compositor hangs up the session ends; the next request connects again.
    void eisTypesWithItsKeymapAtItsPace() {
        if (!EisKeyboard::available())
            QSKIP("built without libei");
#ifdef KELMO_TEST_EIS
        StandInEis eis;
        portal->version = 2;
        portal->eis = &eis;
        LineProcess agent;
        QVERIFY(startAgent(agent));
        askForAccess(f->peer);
        QVERIFY(f->peer.waitFor(accessWasEnabled));
        f->peer.post(shouldPaste);
        QVERIFY(f->peer.waitFor(didPaste));
        // Dvorak's "v" is where the standard layout has ".", evdev 52.
        const QStringList chord{u"1d down"_s, u"34 down"_s, u"34 up"_s, u"1d up"_s};
        QTRY_COMPARE(eis.keys, chord);
        QVERIFY(portal->keys.isEmpty());
        QVERIFY(agent.waitForErrors(u"typing through the compositor's EIS connection"));

        eis.stall(true);
        f->peer.post(shouldPaste, 3);
        QVERIFY(f->peer.waitFor(didPaste, 3));
        QCOMPARE(f->peer.count(didPaste), 3);
        eis.stall(false);
        QVERIFY(f->peer.waitFor(didPaste, 4));
        QTRY_COMPARE(eis.keys, chord + chord + chord + chord);

        eis.hangUp();
        QVERIFY(agent.waitForErrors(u"the compositor closed the input connection"));
        QTRY_COMPARE(portal->closedByAgent, QStringList{portalPath + u"/session/s1"_s});
        f->peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste"));
        f->peer.post(shouldStartCheckingForAccess);
        QVERIFY(agent.waitForLine(u"disabled"_s));
        askForAccess(f->peer);
        QVERIFY(f->peer.waitFor(accessWasEnabled, 2));
        f->peer.post(shouldPaste);
        QVERIFY(f->peer.waitFor(didPaste, 5));
        QTRY_COMPARE(eis.keys.mid(16), chord);
        QVERIFY(stopAgent(agent, f->peer));
#endif
    }

    // A grant is taken up again at the next start, without asking; a token the portal won't take
    // is dropped; an agent never granted anything asks nothing at start.
    void grantsCarryOverToTheNextStart_data() {
        QTest::addColumn<uint>("version");
        QTest::addColumn<bool>("tokenRefused");
        QTest::newRow("version 1: granted") << 1u << false;
        QTest::newRow("version 2: restore token") << 2u << false;
        QTest::newRow("version 2: token refused") << 2u << true;
        QTest::newRow("version 1: declined the next time") << 1u << true;
    }
    void grantsCarryOverToTheNextStart() {
        QFETCH(uint, version);
        QFETCH(bool, tokenRefused);
        portal->version = version;
        portal->tokenToGive = version >= 2 ? u"token-1"_s : QString();
        LineProcess first, second;
        QVERIFY(startAgent(first));
        QTest::qWait(300);
        QCOMPARE(portal->sessions, 0);
        askForAccess(f->peer);
        QVERIFY(f->peer.waitFor(accessWasEnabled));
        QCOMPARE(modeOf(grantFile()), mode_t(0600));
        QVERIFY(stopAgent(first, f->peer));
        portal->start = tokenRefused ? StandInPortal::Start::decline : StandInPortal::Start::grant;
        QVERIFY(startAgent(second));
        QTRY_COMPARE(portal->sessions, 2);
        if (version >= 2)
            QTRY_COMPARE(portal->selected.last().value(u"restore_token"_s).toString(),
                         u"token-1"_s);
        if (tokenRefused) {
            QTRY_VERIFY(!QFile::exists(grantFile()));
            QTest::qWait(300);
        } else {
            askForAccess(f->peer);
            QVERIFY(f->peer.waitFor(accessWasEnabled, 2));
        }
        QCOMPARE(portal->sessions, 2);
    }

    // Neither a pipe in place of the grant nor a portal that never answers holds the agent up;
    // without a portal it says so and serves on.
    void nothingHoldsTheAgentUp() {
        QVERIFY(QDir().mkpath(state->path() + u"/Kelmo"_s));
        QVERIFY(::mkfifo(QFile::encodeName(grantFile()).constData(), 0600) == 0);
        LineProcess agent, another, third;
        QVERIFY(startAgent(agent));
        QVERIFY(stopAgent(agent, f->peer));
        QCOMPARE(portal->sessions, 0);

        portal->start = StandInPortal::Start::never;
        QVERIFY(startAgent(another));
        f->peer.post(shouldRequestAccess);
        QTRY_COMPARE(portal->sessions, 1);
        f->peer.post(shouldPaste);
        QVERIFY(another.waitForErrors(u"cannot paste"));
        QVERIFY(stopAgent(another, f->peer));

        QVERIFY(f->bus.connection().unregisterService(u"org.freedesktop.portal.Desktop"_s));
        QVERIFY(startAgent(third));
        QVERIFY(third.errors().join(u'\n').contains(u"the session bus has no desktop portal"_s));
        askForAccess(f->peer);
        QVERIFY(third.waitForErrors(u"no desktop portal offers RemoteDesktop"));
        QVERIFY(third.waitForLine(u"disabled"_s));
        QVERIFY(third.isRunning());
    }

    // Headless KWin with the portal's KDE backend: "v" is found in the layout active at the start
    // or switched to between pastes; on US, a burst, the session closed, and the backend gone.
    void everyLayoutPastes_data() {
        // XKB layouts and variants; the active layout at the start, then at each further paste.
        QTest::addColumn<Layouts>("layouts");
        QTest::newRow("US, and the session's end") << Layouts{u"us"_s, {}, {0}};
        QTest::newRow("Dvorak") << Layouts{u"us"_s, u"dvorak"_s, {0}};
        QTest::newRow("AZERTY") << Layouts{u"fr"_s, {}, {0}};
        QTest::newRow("Russian first, US second") << Layouts{u"ru,us"_s, {}, {0}};
        QTest::newRow("Dvorak first, US active, then Dvorak")
            << Layouts{u"us,us"_s, u"dvorak,"_s, {1, 0}};
    }
    void everyLayoutPastes() {
        if (!WaylandDesktop::installed())
            QSKIP("no KWin, KDE portal backend or wl-clipboard (scripts/install-deps)");
        QFETCH(Layouts, layouts);
        const auto& [layout, variant, active] = layouts;
        WaylandDesktop desktop(layout, variant);
        QVERIFY2(desktop.isRunning(), qPrintable(desktop.whyNot()));
        BusPeer peer(desktop.bus());
        // A portal backend that offers no RemoteDesktop (GTK's, on Plasma) runs meanwhile.
        const QString unrelated = u"org.freedesktop.impl.portal.desktop.kelmotest"_s;
        QVERIFY(desktop.bus().registerService(unrelated));
        LineProcess agent;
        QVERIFY(desktop.copy(u"pasted"_s));
        QDBusMessage choose = QDBusMessage::createMethodCall(
            u"org.kde.KWin"_s, u"/Layouts"_s, u"org.kde.KeyboardLayouts"_s, u"setLayout"_s);
        for (qsizetype paste = 0; paste < active.size(); ++paste) {
            choose.setArguments({active[paste]});
            if (active[paste] != 0 || paste > 0)
                QCOMPARE(desktop.bus().call(choose).type(), QDBusMessage::ReplyMessage);
            if (paste == 0)
                QVERIFY(joinGranted(agent, peer, desktop));
            peer.post(shouldPaste);
            QVERIFY(desktop.waitForFieldLine(u"pasted"_s.repeated(int(paste) + 1)));
        }
        if (layout + variant != u"us")
            return;

        // A burst: every paste arrives, each whole, and no key repeats on its own afterwards.
        constexpr int burst = 200;
        peer.post(shouldPaste, burst);
        QVERIFY(peer.waitFor(didPaste, 1 + burst, 60000));
        QVERIFY(desktop.waitForFieldLine(u"pasted"_s.repeated(1 + burst), 20000));
        qsizetype lines = desktop.fieldLines().size();
        QTest::qWait(700);
        QCOMPARE(desktop.fieldLines().size(), lines);
        // Where the portal hands out an EIS connection (Plasma 6), the keys went through it.
        if (EisKeyboard::available())
            QVERIFY(agent.errors().contains(
                u"kelmo.input: typing through the compositor's EIS connection"_s));

        // That backend ends: the session, served by another, goes on.
        QVERIFY(desktop.bus().unregisterService(unrelated));
        peer.post(shouldPaste);
        QVERIFY2(peer.waitFor(didPaste, 2 + burst), qPrintable(agent.errors().join(u'\n')));
        QVERIFY(desktop.waitForFieldLine(u"pasted"_s.repeated(2 + burst)));
        QCOMPARE(agent.errors().filter(u"went away"_s), QStringList());
        lines = desktop.fieldLines().size();

        // The session closed from outside: not trusted any more, and nothing is typed.
        const QString kde = u"org.freedesktop.impl.portal.desktop.kde"_s;
        const QString id = desktop.bus().interface()->serviceOwner(name(BundleIdentifier::helper));
        QDBusMessage close = QDBusMessage::createMethodCall(
            kde, u"%1/session/%2/kelmo1"_s.arg(portalPath, id.mid(1).replace(u'.', u'_')),
            u"org.freedesktop.impl.portal.Session"_s, u"Close"_s);
        QCOMPARE(desktop.bus().call(close).type(), QDBusMessage::ReplyMessage);
        QVERIFY(agent.waitForErrors(u"session ended"));
        peer.post(shouldStartCheckingForAccess);
        QVERIFY(agent.waitForLine(u"disabled"_s));
        peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste"));
        QCOMPARE(peer.count(didPaste), 2 + burst);
        QCOMPARE(desktop.fieldLines().size(), lines);

        // Granted again, the backend dies: the agent ends the orphaned session, claims no paste.
        askForAccess(peer);
        QVERIFY(peer.waitFor(accessWasEnabled, 2));
        const uint backend = desktop.bus().interface()->servicePid(kde);
        QVERIFY(backend > 0 && ::kill(pid_t(backend), SIGKILL) == 0);
        // Through EIS, KWin may close the connection before the backend is seen to go.
        QVERIFY(agent.waitForErrors(u"the typing session ended", 2));
        if (!EisKeyboard::available())
            QVERIFY(agent.errors()
                        .filter(u"the typing session ended"_s)
                        .last()
                        .contains(u"backend org.freedesktop.impl.portal.desktop.kde went away"_s));
        peer.post(shouldPaste);
        QVERIFY(agent.waitForErrors(u"cannot paste", 2));
        QCOMPARE(peer.count(didPaste), 2 + burst);
    }

    // Plasma 6's real portal hands out a restore token: the next agent start is granted with it,
    // no dialog, although remote control is no longer allowed beforehand.
    void theRestoreTokenSparesTheDialog() {
        if (!WaylandDesktop::installed())
            QSKIP("no KWin, KDE portal backend or wl-clipboard (scripts/install-deps)");
        WaylandDesktop desktop;
        QVERIFY2(desktop.isRunning(), qPrintable(desktop.whyNot()));
        BusPeer peer(desktop.bus());
        QVERIFY(desktop.copy(u"pasted"_s));
        LineProcess first, second;
        QVERIFY(joinGranted(first, peer, desktop));
        QVERIFY(stopAgent(first, peer));
        const QString grant =
            desktop.environment().value(u"XDG_STATE_HOME"_s) + u"/Kelmo/helper-remote-desktop"_s;
        if (!readFile(grant).startsWith("restore_token "))
            QSKIP("this portal keeps no restore token (Plasma 5)");
        QCOMPARE(desktop.allowRemoteControl(false), QString());
        QVERIFY(::startAgent(second, peer, testAgent, {u"--poll-ms"_s, u"100"_s},
                             desktop.environment()));
        peer.post(shouldStartCheckingForAccess);
        QVERIFY(second.waitForLine(u"enabled"_s, 20000));
        peer.post(shouldPaste);
        QVERIFY(desktop.waitForFieldLine(u"pasted"_s));
        QVERIFY(stopAgent(second, peer));
    }

    // QTerminal on Plasma gets its own chord, as the agent's KWin script reports it active; reports
    // from others than KWin, or a second agent, change nothing; the script goes with the agent.
    void terminalOnPlasmaGetsItsChord() {
        if (!WaylandDesktop::installed() ||
            QStandardPaths::findExecutable(u"qterminal"_s).isEmpty())
            QSKIP("no KWin, KDE portal backend, wl-clipboard or QTerminal (scripts/install-deps)");
        WaylandDesktop desktop;
        QVERIFY2(desktop.isRunning(), qPrintable(desktop.whyNot()));
        BusPeer peer(desktop.bus());
        QVERIFY(desktop.copy(u"pasted\n"_s));
        QTemporaryDir folder;
        const QString typed = folder.filePath(u"typed"_s);
        LineProcess terminal, agent, second;
        terminal.start(u"qterminal"_s, {u"-e"_s, u"sh -c 'exec cat > \"$0\"' "_s + typed},
                       desktop.environment());
        QVERIFY(joinGranted(agent, peer, desktop));
        const auto typedLines = [&] {
            return QString::fromUtf8(readFile(typed)).split(u'\n', Qt::SkipEmptyParts);
        };
        // Until QTerminal is up and active, the pastes go to the text field.
        QVERIFY(QTest::qWaitFor(
            [&] {
                const qsizetype before = peer.count(didPaste);
                peer.post(shouldPaste);
                return peer.waitFor(didPaste, before + 1) &&
                       QTest::qWaitFor([&] { return !typedLines().isEmpty(); }, 300);
            },
            30000));
        const auto typesOneLine = [&] {
            const qsizetype lines = typedLines().size();
            peer.post(shouldPaste);
            return QTest::qWaitFor([&] { return typedLines().size() == lines + 1; }, 10000);
        };
        QDBusMessage loaded = QDBusMessage::createMethodCall(
            u"org.kde.KWin"_s, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, u"isScriptLoaded"_s);
        loaded << u"co.ambertide.kelmo-helper.active-window"_s;
        QVERIFY(QDBusReply<bool>(desktop.bus().call(loaded)).value());

        // Emacs would take Shift+Insert, which pastes nothing in QTerminal here.
        QDBusMessage impostor = QDBusMessage::createMethodCall(
            desktop.bus().interface()->serviceOwner(name(BundleIdentifier::helper)),
            u"/co/ambertide/KelmoHelper/ActiveWindow"_s, u"co.ambertide.KelmoHelper.ActiveWindow"_s,
            u"Activated"_s);
        desktop.bus().call(impostor << u"emacs"_s);
        QVERIFY(typesOneLine());

        // A second agent (a double press in the installer) exits, the first one's script intact.
        second.start(testAgent, {}, desktop.environment());
        QVERIFY(second.waitForExit());
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(QDBusReply<bool>(desktop.bus().call(loaded)).value());
        QVERIFY(typesOneLine());
        QVERIFY(stopAgent(agent, peer));
        QVERIFY(!QDBusReply<bool>(desktop.bus().call(loaded)).value());
    }

private:
    QString grantFile() const {
        return state->path() + u"/Kelmo/helper-remote-desktop"_s;
    }
    bool startAgent(LineProcess& agent, const QString& compositor = {}) {
        QProcessEnvironment env = environmentWithDisplay({});
        env.insert(u"KELMO_INPUT_BACKEND"_s, u"portal"_s);
        if (!compositor.isEmpty())
            env.insert(u"WAYLAND_DISPLAY"_s, compositor);
        env.insert(u"XDG_STATE_HOME"_s, state->path());
        return ::startAgent(agent, f->peer, testAgent, {u"--poll-ms"_s, u"100"_s}, env);
    }
    // The agent joins `desktop`, watched by `peer`, and is granted as the installer's step 2 asks.
    static bool joinGranted(LineProcess& agent, BusPeer& peer, const WaylandDesktop& desktop) {
        return peer.observe({didFinishLaunching, didPaste, accessWasEnabled}) &&
               ::startAgent(agent, peer, testAgent, {u"--poll-ms"_s, u"100"_s},
                            desktop.environment()) &&
               (askForAccess(peer), peer.waitFor(accessWasEnabled)) &&
               agent.waitForLine(u"enabled"_s);
    }

    std::optional<AgentBus> f;
    std::optional<QTemporaryDir> state;
    std::optional<StandInPortal> portal;
};

QTEST_GUILESS_MAIN(PortalTest)
#include "tst_portal.moc"
