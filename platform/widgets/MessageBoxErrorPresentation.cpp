#include "MessageBoxErrorPresentation.h"

#include <QApplication>
#include <QMessageBox>

void MessageBoxErrorPresentation::presentError(QWidget* window, const Error& error) {
    // A box without a window still says whose it is.
    QMessageBox box(QMessageBox::Warning,
                    window ? window->windowTitle() : QApplication::applicationDisplayName(),
                    error.localizedDescription, QMessageBox::Ok, window);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}
