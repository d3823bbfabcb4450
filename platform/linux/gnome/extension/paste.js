// The Shell side of Kelmo Helper's paste: the focused window's names, and one method that types
// a paste chord, for the agent that owns co.ambertide.kelmo-helper alone. GNOME tells no other
// client which window is focused, and neither does this. Shared by the legacy
// (GNOME 43-44) and the module (GNOME 45 and later) entry points, which the build wraps it in.

const helperName = 'co.ambertide.kelmo-helper';
const objectPath = '/co/ambertide/KelmoHelper/Shell';
const interfaceXml = `<node>
  <interface name="co.ambertide.KelmoHelper.Shell">
    <method name="Paste">
      <arg type="s" name="chord" direction="in"/>
      <arg type="x" name="notAfter" direction="in"/>
    </method>
    <method name="FocusedApplication"><arg type="as" name="names" direction="out"/></method>
    <signal name="FocusedApplicationChanged"><arg type="as" name="names"/></signal>
  </interface>
</node>`;

// The chord vocabulary of the agent's paste-keys file: Control (Ctrl), Shift and Alt, each once,
// then V or Insert; V needs Control and Insert some modifier, anything else types text.
function parseChord(text) {
    const parts = String(text).split('+').map(part => part.trim().toLowerCase());
    const key = {v: Clutter.KEY_v, insert: Clutter.KEY_Insert}[parts.pop()];
    if (key === undefined)
        return null;
    const keys = {control: Clutter.KEY_Control_L, ctrl: Clutter.KEY_Control_L,
        shift: Clutter.KEY_Shift_L, alt: Clutter.KEY_Alt_L};
    const modifiers = [];
    for (const part of parts) {
        const modifier = keys[part];
        if (modifier === undefined || modifiers.includes(modifier))
            return null;
        modifiers.push(modifier);
    }
    const control = modifiers.includes(Clutter.KEY_Control_L);
    if (key === Clutter.KEY_v ? !control : modifiers.length === 0)
        return null;
    return {modifiers, key};
}

// Names the chord table may know the window by, most specific first: the X11 instance and class
// (Wayland: the app_id), the GTK application id, the Flatpak id, the .desktop file's id.
function windowNames(window) {
    if (!window)
        return [];
    const app = Shell.WindowTracker.get_default().get_window_app(window);
    const names = [window.get_wm_class_instance(), window.get_wm_class(),
        window.get_gtk_application_id(), window.get_sandboxed_app_id(),
        app ? app.get_id().replace(/\.desktop$/, '') : null];
    // The tracker makes up "window:N" for windows no .desktop file claims.
    return names.filter((name, i) => name && !name.startsWith('window:') &&
        names.indexOf(name) === i);
}

var KelmoPaste = class KelmoPaste {
    constructor() {
        // Made now, not at the first paste: a device made on demand loses its first keys.
        this._keyboard = Clutter.get_default_backend().get_default_seat()
            .create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
        this._owner = null;
        this._watch = Gio.bus_watch_name(Gio.BusType.SESSION, helperName,
            Gio.BusNameWatcherFlags.NONE,
            (connection, name, owner) => {
                this._owner = owner;
            },
            () => {
                this._owner = null;
            });
        this._names = windowNames(global.display.focus_window);
        this._focus = global.display.connect('notify::focus-window', () => this._focusChanged());
        // Last: an object exported by a constructor that then failed would outlive it.
        this._object = Gio.DBusExportedObject.wrapJSObject(interfaceXml, this);
        this._object.export(Gio.DBus.session, objectPath);
    }

    destroy() {
        global.display.disconnect(this._focus);
        this._object.unexport();
        Gio.bus_unwatch_name(this._watch);
        this._keyboard = null;
    }

    // Whoever owns the agent's name may paste, as the bus contract already lets it; nobody else
    // may type anything or learn the focused window. The owner is the bus's own word, followed
    // in the order the bus tells it.
    _refused(invocation) {
        if (this._owner !== null && invocation.get_sender() === this._owner)
            return false;
        invocation.return_dbus_error('org.freedesktop.DBus.Error.AccessDenied',
            `only the owner of ${helperName} may ask`);
        return true;
    }

    FocusedApplicationAsync(parameters, invocation) {
        if (!this._refused(invocation))
            invocation.return_value(new GLib.Variant('(as)', [this._names]));
    }

    _focusChanged() {
        const names = windowNames(global.display.focus_window);
        if (names.join('\n') === this._names.join('\n'))
            return;
        this._names = names;
        if (this._owner !== null) {
            Gio.DBus.session.emit_signal(this._owner, objectPath,
                'co.ambertide.KelmoHelper.Shell', 'FocusedApplicationChanged',
                new GLib.Variant('(as)', [names]));
        }
    }

    // `notAfter`: the monotonic time, in microseconds, after which the agent no longer waits
    // for the answer. A chord that comes later (the Shell was stalled) is not typed into
    // whatever has the focus by then.
    PasteAsync([text, notAfter], invocation) {
        if (this._refused(invocation))
            return;
        if (GLib.get_monotonic_time() > notAfter) {
            invocation.return_dbus_error('org.freedesktop.DBus.Error.TimedOut',
                'the paste came after its time; nothing was typed');
            return;
        }
        // A dialog of the Shell's own, the overview or a menu has the keys, not the window.
        if (Main.modalCount > 0) {
            invocation.return_dbus_error('org.freedesktop.DBus.Error.Failed',
                'GNOME Shell\'s own interface (a dialog, the overview or a menu) has the ' +
                'keyboard; nothing was typed');
            return;
        }
        const chord = parseChord(text);
        if (!chord) {
            invocation.return_dbus_error('org.freedesktop.DBus.Error.InvalidArgs',
                `not a paste chord: ${text}`);
            return;
        }
        try {
            this._type(chord);
        } catch (e) {
            invocation.return_dbus_error('org.freedesktop.DBus.Error.Failed', String(e));
            return;
        }
        invocation.return_value(null);
    }

    // Every key pressed here is released, whatever fails on the way. Modifiers are pressed even
    // when the seat says they are held: what it says lags behind the keys typed, and the
    // previous chord's own Control, still being released, would pass for the user's.
    _type(chord) {
        const pressed = [];
        const notify = (key, state) =>
            this._keyboard.notify_keyval(GLib.get_monotonic_time(), key, state);
        try {
            for (const key of [...chord.modifiers, chord.key]) {
                pressed.push(key);
                notify(key, Clutter.KeyState.PRESSED);
            }
        } finally {
            for (const key of pressed.reverse())
                notify(key, Clutter.KeyState.RELEASED);
        }
    }
};
