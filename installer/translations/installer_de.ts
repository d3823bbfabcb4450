<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="STEP1.TITLE">
        <source>Install Kelmo Helper</source>
        <translation>Kelmo Helper installieren</translation>
    </message>
    <message id="STEP1.BODY">
        <source>Kelmo pastes for you with the help of a small background helper. Install copies it into your data folder and starts it; nothing else on your computer changes.</source>
        <translation>Kelmo fügt Texte mit Hilfe eines kleinen Hintergrundprogramms für dich ein. „Installieren“ kopiert es in deinen Datenordner und startet es; sonst ändert sich nichts auf deinem Computer.</translation>
    </message>
    <message id="STEP1.BUTTON">
        <source>Install</source>
        <translation>Installieren</translation>
    </message>
    <message id="STEP2.TITLE">
        <source>Allow Kelmo Helper to type</source>
        <translation>Kelmo Helper das Tippen erlauben</translation>
    </message>
    <message id="STEP2.BODY">
        <source>To paste into other applications, Kelmo Helper sends the paste keystroke for you. When you continue, your system may ask you to allow this: please agree. This window moves on by itself as soon as the permission is granted.</source>
        <translation>Um in andere Programme einzufügen, sendet Kelmo Helper für dich den Tastenbefehl zum Einfügen. Wenn du fortfährst, fragt dein System dich eventuell um Erlaubnis: Bitte stimme zu. Dieses Fenster geht von selbst weiter, sobald die Erlaubnis erteilt ist.</translation>
    </message>
    <message id="STEP2.BUTTON">
        <source>Allow Typing</source>
        <translation>Tippen erlauben</translation>
    </message>
    <message id="STEP2.GRANT_AGAIN">
        <source>Still waiting? If Kelmo Helper is already switched on in System Settings › Privacy &amp; Security › Accessibility, that permission belongs to an earlier version of it. Select Kelmo Helper there and remove it with the − button, then press Allow Typing again and switch it on.</source>
        <translation>Es geht nicht weiter? Wenn Kelmo Helper unter Systemeinstellungen › Datenschutz &amp; Sicherheit › Bedienungshilfen schon eingeschaltet ist, gilt diese Erlaubnis einer früheren Version. Wähle Kelmo Helper dort aus und entferne es mit der Taste −, drücke dann erneut „Tippen erlauben“ und schalte es ein.</translation>
    </message>
    <message id="STEP2.GNOME_NEXT_LOGIN">
        <source>Kelmo Helper will type without asking once you log out and back in: GNOME loads the helper’s GNOME Shell extension, just installed, at the next login. Until then GNOME asks each time the helper starts: switch on “Allow remote interaction” and press Share.</source>
        <translation>Nach dem nächsten Ab- und Anmelden tippt Kelmo Helper ohne Nachfrage: GNOME lädt die eben installierte GNOME-Shell-Erweiterung des Helfers erst bei der nächsten Anmeldung. Bis dahin fragt GNOME bei jedem Start des Helfers: Schalte die entfernte Interaktion ein und klicke auf „Freigeben“.</translation>
    </message>
    <message id="STEP3.TITLE">
        <source>All set. Kelmo can paste for you now.</source>
        <translation>Fertig. Kelmo kann jetzt für dich einfügen.</translation>
    </message>
    <message id="STEP3.BUTTON">
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message id="ERROR.904">
        <source>This installer is incomplete: Kelmo Helper is missing from it. Please download Kelmo again.</source>
        <translation>Dieser Installer ist unvollständig: Kelmo Helper fehlt darin. Bitte lade Kelmo erneut herunter.</translation>
    </message>
    <message id="ERROR.905">
        <source>The Kelmo Helper that runs did not end, so its new version can't start yet. Nothing was changed: press Install to try again. If this keeps happening, log out and back in, then press Install.</source>
        <translation>Der laufende Kelmo Helper hat sich nicht beendet, daher kann seine neue Version noch nicht starten. Es wurde nichts verändert: Klicke erneut auf Installieren. Wenn das wiederholt passiert, melde dich ab und wieder an und klicke dann auf Installieren.</translation>
    </message>
</context>
</TS>
