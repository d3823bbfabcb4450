<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="STEP1.TITLE">
        <source>Install Kelmo Helper</source>
        <translation>Install Kelmo Helper</translation>
    </message>
    <message id="STEP1.BODY">
        <source>Kelmo pastes for you with the help of a small background helper. Install copies it into your data folder and starts it; nothing else on your computer changes.</source>
        <translation>Kelmo pastes for you with the help of a small background helper. Install copies it into your data folder and starts it; nothing else on your computer changes.</translation>
    </message>
    <message id="STEP1.BUTTON">
        <source>Install</source>
        <translation>Install</translation>
    </message>
    <message id="STEP2.TITLE">
        <source>Allow Kelmo Helper to type</source>
        <translation>Allow Kelmo Helper to type</translation>
    </message>
    <message id="STEP2.BODY">
        <source>To paste into other applications, Kelmo Helper sends the paste keystroke for you. When you continue, your system may ask you to allow this: please agree. This window moves on by itself as soon as the permission is granted.</source>
        <translation>To paste into other applications, Kelmo Helper sends the paste keystroke for you. When you continue, your system may ask you to allow this: please agree. This window moves on by itself as soon as the permission is granted.</translation>
    </message>
    <message id="STEP2.BUTTON">
        <source>Allow Typing</source>
        <translation>Allow Typing</translation>
    </message>
    <message id="STEP2.GRANT_AGAIN">
        <source>Still waiting? If Kelmo Helper is already switched on in System Settings › Privacy &amp; Security › Accessibility, that permission belongs to an earlier version of it. Select Kelmo Helper there and remove it with the − button, then press Allow Typing again and switch it on.</source>
        <translation>Still waiting? If Kelmo Helper is already switched on in System Settings › Privacy &amp; Security › Accessibility, that permission belongs to an earlier version of it. Select Kelmo Helper there and remove it with the − button, then press Allow Typing again and switch it on.</translation>
    </message>
    <message id="STEP2.GNOME_NEXT_LOGIN">
        <source>Kelmo Helper will type without asking once you log out and back in: GNOME loads the helper’s GNOME Shell extension, just installed, at the next login. Until then GNOME asks each time the helper starts: switch on “Allow remote interaction” and press Share.</source>
        <translation>Kelmo Helper will type without asking once you log out and back in: GNOME loads the helper’s GNOME Shell extension, just installed, at the next login. Until then GNOME asks each time the helper starts: switch on “Allow remote interaction” and press Share.</translation>
    </message>
    <message id="STEP3.TITLE">
        <source>All set. Kelmo can paste for you now.</source>
        <translation>All set. Kelmo can paste for you now.</translation>
    </message>
    <message id="STEP3.BUTTON">
        <source>Done</source>
        <translation>Done</translation>
    </message>
    <message id="ERROR.904">
        <source>This installer is incomplete: Kelmo Helper is missing from it. Please download Kelmo again.</source>
        <translation>This installer is incomplete: Kelmo Helper is missing from it. Please download Kelmo again.</translation>
    </message>
    <message id="ERROR.905">
        <source>The Kelmo Helper that runs did not end, so its new version can't start yet. Nothing was changed: press Install to try again. If this keeps happening, log out and back in, then press Install.</source>
        <translation>The Kelmo Helper that runs did not end, so its new version can't start yet. Nothing was changed: press Install to try again. If this keeps happening, log out and back in, then press Install.</translation>
    </message>
</context>
</TS>
