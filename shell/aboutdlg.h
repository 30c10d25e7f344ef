#pragma once

#include <QDialog>

// "About Murmurly": the application icon, the version and a default OK.
class CAboutDlg final : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
