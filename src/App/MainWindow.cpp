#include "App/MainWindow.h"

#include "Accounts/AuthState.h"
#include "App/ShellStatus.h"
#include "App/StatusPanel.h"
#include "App/TrayIconPainter.h"
#include "UI/Onboarding/QuillmereWindowView.h"

#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWindow>

namespace quillmere {

namespace {

QWidget *signedInPage(StatusPanel *&status, bool hasTray)
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("signedInPage"));
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(48, 40, 48, 40);
    layout->setSpacing(16);
    auto *title = new QLabel(QStringLiteral("Quillmere"), page);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.8);
    font.setBold(true);
    title->setFont(font);
    layout->addWidget(title);
    // Where the desktop has no tray this window is all there is to look at.
    auto *note = new QLabel(hasTray ? shellText("Your sync folders are kept in step with your Harborly library in "
                                                "the background. The tray icon shows how it goes.")
                                    : shellText("Your sync folders are kept in step with your Harborly library while "
                                                "Quillmere runs. This window shows how it goes; closing it quits."),
                            page);
    note->setObjectName(QStringLiteral("signedInNote"));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    layout->addWidget(note);
    status = new StatusPanel(page);
    layout->addWidget(status);
    layout->addStretch(1);
    // Taller than the window (many conflicts to review, a large font), the page scrolls: a
    // layout given less than it needs would cut a line off every row.
    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("signedInScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->setWidget(page);
    // The window's own background shows through, as it did before the page could scroll.
    scroll->viewport()->setAutoFillBackground(false);
    return scroll;
}

} // namespace

MainWindow::MainWindow(AuthState &auth, Clock &clock, const ShellActions &actions,
                       std::function<void()> openAccountWindow, QMenu *trayMenu, std::function<void()> quit,
                       QWidget *parent)
    : QWidget(parent, Qt::Window), m_quit(std::move(quit))
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Quillmere"));
    QIcon icon;
    for (int size : {32, 64, 128})
        icon.addPixmap(QPixmap::fromImage(TrayIconPainter::render(TrayIconState::idle, 0, size)));
    setWindowIcon(icon);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (trayMenu) {
        m_menuBar = new QMenuBar(this);
        m_menuBar->addMenu(trayMenu);
        layout->setMenuBar(m_menuBar);
    }
    m_root = new QuillmereWindowView(auth, clock, actions, std::move(openAccountWindow), this);
    m_root->setSignedInContent(signedInPage(m_status, trayMenu == nullptr));
    layout->addWidget(m_root);
}

MainWindow::~MainWindow() = default;

void MainWindow::bringToFront()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (m_menuBar && m_quit)
        m_quit();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The window's surface says when it is really on screen; the widget only that it is shown.
    if (!m_exposed && windowHandle())
        windowHandle()->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_exposed && watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed()) {
        m_exposed = true;
        windowHandle()->removeEventFilter(this);
        Q_EMIT firstExposed();
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace quillmere
