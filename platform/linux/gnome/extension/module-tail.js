
export default class KelmoHelperExtension extends Extension {
    enable() {
        this._paste = new KelmoPaste();
    }

    disable() {
        this._paste.destroy();
        this._paste = null;
    }
}
