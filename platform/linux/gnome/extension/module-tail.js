
export default class KelmoHelperExtension extends Extension {
    enable() {
        this._instance = new @CLASS@();
    }

    disable() {
        this._instance.destroy();
        this._instance = null;
    }
}
