// Placeholder while the update window is written; replaced in the same change.
#include "update/tfupdate.h"
#include "shell/tfmain.h"
TFUpdate *FUpdate = nullptr;
TFUpdate::TFUpdate(TFMain *mainWindow)
    : m_main(mainWindow)
{}
TFUpdate::~TFUpdate() = default;
void TFUpdate::FormShow() {}
void TFUpdate::CloseButtonClick() {}
void TFUpdate::DownloadInstaller() {}
void TFUpdate::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
}
void TFUpdate::closeEvent(QCloseEvent *e)
{
    QDialog::closeEvent(e);
}
void TFUpdate::keyPressEvent(QKeyEvent *e)
{
    QDialog::keyPressEvent(e);
}
