// For the tests' headless Shell only: the Shell starts in the overview, where a new window gets
// no focus, and offers no outside caller a way to focus one. Wrapped by the build in the entry
// point of each form the Shell loads, as the agent's extension is.

const interfaceXml = `<node><interface name="co.ambertide.KelmoTest.Desktop">
  <method name="Focus"><arg type="s" name="wmClass" direction="in"/>
    <arg type="b" name="found" direction="out"/></method>
  <method name="Focused"><arg type="s" name="wmClass" direction="out"/></method>
  <method name="Copy"><arg type="s" name="text" direction="in"/></method>
  <method name="Type"><arg type="as" name="keys" direction="in"/></method>
</interface></node>`;

class KelmoTestDesktop {
    constructor() {
        const leave = () => Main.overview.hide();
        if (Main.layoutManager._startingUp)
            this._startup = Main.layoutManager.connect('startup-complete', leave);
        else
            leave();
        // Made now: a device made at the first keys loses them.
        this._keyboard = Clutter.get_default_backend().get_default_seat()
            .create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
        this._object = Gio.DBusExportedObject.wrapJSObject(interfaceXml, this);
        this._object.export(Gio.DBus.session, '/co/ambertide/KelmoTest/Desktop');
    }

    destroy() {
        if (this._startup)
            Main.layoutManager.disconnect(this._startup);
        this._object.unexport();
    }

    // Whether the window has the keys now: the overview, shown at start and while it hides,
    // takes them itself. Not while the Shell starts: hiding the overview then cuts its startup
    // animation short, and the Shell stays starting for good (GNOME 48).
    Focus(wmClass) {
        if (Main.layoutManager._startingUp)
            return false;
        Main.overview.hide();
        const window = global.get_window_actors().map(actor => actor.meta_window)
            .find(w => w.get_wm_class() === wmClass);
        if (window && !window.has_focus())
            window.activate(global.get_current_time());
        return Boolean(window) && window.has_focus() && !Main.overview.visible;
    }

    // The focused window's class: the agent's extension tells its agent alone.
    Focused() {
        const window = global.display.focus_window;
        return window ? window.get_wm_class() ?? '' : '';
    }

    // Keys as a user would press them, by their names ("Return", "Tab"), for the desktop's own
    // dialogs, which no client may answer: at a person's pace, as GTK drops keys that come
    // faster than it draws the focus moving. Answers once the last is typed.
    TypeAsync([keys], invocation) {
        const next = () => {
            const key = keys.shift();
            if (key === undefined) {
                invocation.return_value(null);
                return GLib.SOURCE_REMOVE;
            }
            for (const state of [Clutter.KeyState.PRESSED, Clutter.KeyState.RELEASED]) {
                this._keyboard.notify_keyval(GLib.get_monotonic_time(), Clutter[`KEY_${key}`],
                    state);
            }
            return GLib.SOURCE_CONTINUE;
        };
        GLib.timeout_add(GLib.PRIORITY_DEFAULT, 150, next);
    }

    // As a user's copy would; wl-copy would take the focus for a moment on GNOME.
    Copy(text) {
        St.Clipboard.get_default().set_text(St.ClipboardType.CLIPBOARD, text);
    }
}
