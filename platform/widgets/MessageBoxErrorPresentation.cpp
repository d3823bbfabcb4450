#include "MessageBoxErrorPresentation.h"

#include <QMessageBox>

void MessageBoxErrorPresentation::presentError(QWidget* window, const Error& error) {
    QMessageBox box(QMessageBox::Warning, window ? window->windowTitle() : QString(),
                    error.localizedDescription, QMessageBox::Ok, window);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}
