// A window with one text field, for the demo and the tests to paste into. Prints the field's text
// each time it changes, so a script can see what arrived:
//   demo-textfield [--shot FILE] [--keys]
//     --shot FILE   a picture of the window, taken after each change
//     --keys        also each key press the field gets, as "key: Ctrl+V" (a burst can then be
//                   counted in keys, without the clipboard's own transfers)
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

namespace {
// Prints each key press of the object it watches.
struct KeyPrinter final : QObject {
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            std::printf("key: %s\n",
                        qUtf8Printable(QKeySequence(key->keyCombination()).toString()));
            std::fflush(stdout);
        }
        return false;
    }
};
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype shotAt = args.indexOf(QStringLiteral("--shot"));
    const QString shot = shotAt > 0 ? args.value(shotAt + 1) : QString();
    QWidget window;
    window.setWindowTitle(QStringLiteral("Paste target"));
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("The main application asks Kelmo Helper to paste "
                                                "into this field:")));
    auto* field = new QLineEdit;
    field->setMinimumWidth(420);
    KeyPrinter keys;
    if (args.contains(QStringLiteral("--keys")))
        field->installEventFilter(&keys);
    layout->addWidget(field);
    QObject::connect(field, &QLineEdit::textChanged, [&](const QString& text) {
        std::printf("%s\n", qUtf8Printable(text));
        std::fflush(stdout);
        // Once the window has painted the new text.
        if (!shot.isEmpty())
            QTimer::singleShot(100, &window, [&] { window.grab().save(shot); });
    });
    window.resize(520, 110);
    window.move(80, 80);
    window.show();
    window.activateWindow();
    field->setFocus();
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
