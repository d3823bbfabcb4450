/* exported init */
const {Clutter, Gio, GLib, Shell, St} = imports.gi;
const Main = imports.ui.main;
