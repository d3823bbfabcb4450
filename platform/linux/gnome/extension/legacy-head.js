/* exported init */
const {Clutter, Gio, GLib, Shell} = imports.gi;
const Main = imports.ui.main;
