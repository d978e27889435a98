// SPDX-License-Identifier: GPL-3.0-or-later
#include "frmquillon.h"

#include "appicon.h"
#include "filterkeys.h"
#include "frmabout.h"
#include "lampbutton.h"
#include "panelwidgets.h"
#include "platform.h"
#include "twips.h"

#include "filters/filterstatus.h"
#include "filters/lamps.h"
#include "radio/commandblock.h"
#include "radio/discovery.h"
#include "share/radioshare.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QMenuBar>
#include <QProxyStyle>
#include <QScopedValueRollback>
#include <QScreen>
#include <QShortcut>
#include <QStyleFactory>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <mutex>

namespace quillon {

namespace {

constexpr int kButtonWidth = 615;
constexpr int kButtonHeight = 255;

using ClickHandler = void (frmQuillon::*)();
constexpr std::array<ClickHandler, kFilterCount> kClickHandlers{
    &frmQuillon::Hi_250_Cmd_Click,  &frmQuillon::Hi_500_Cmd_Click,  &frmQuillon::Hi_2000_Cmd_Click,
    &frmQuillon::Hi_2400_Cmd_Click, &frmQuillon::Hi_Thru_Cmd_Click, &frmQuillon::Lo_250_Cmd_Click,
    &frmQuillon::Lo_500_Cmd_Click,  &frmQuillon::Lo_2000_Cmd_Click, &frmQuillon::Lo_2400_Cmd_Click,
    &frmQuillon::Lo_6000_Cmd_Click, &frmQuillon::cmdSub500_Click,   &frmQuillon::cmdSub2400_Click,
    &frmQuillon::cmdSub6000_Click,
};

std::size_t indexOf(FilterId id) { return static_cast<std::size_t>(id); }

#ifndef Q_OS_WIN
// While a screen reader listens, Qt's AT-SPI bridge holds back each key until the reader has seen
// it and replays it afterwards, and the Alt of an Alt+digit filter key often comes back after the
// digit was taken: the menu bar sees Alt pressed and released alone and takes the focus to Help
// (7 of 10 presses under Orca). So Alt alone leaves the menu bar be; Alt+H opens Help as before.
class NoAltAloneStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *data) const override {
        return hint == SH_MenuBar_AltKeyNavigation ? 0 : QProxyStyle::styleHint(hint, option, widget, data);
    }
};
#endif

} // namespace

frmQuillon::frmQuillon(Platform &platform, std::unique_ptr<SerialLine> line, QWidget *parent)
    : QMainWindow(parent), m_platform(platform),
      m_owner(std::make_unique<LineOwner>(std::move(line), platform.clock())), CommonDialog1(platform) {
    setObjectName(QStringLiteral("frmQuillon"));
    setWindowTitle(QStringLiteral("FT-1000MP & Mark V Filter Selector"));
    setWindowIcon(quillonIcon());
    // Minimise and close, but no maximise: the window has one size only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    buildPanel();
    buildMenu();
    buildKeys();
    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());

    // Polls start only once the radio is found (Form_Load), so none can run while the search
    // or its failure message is up. A tick that falls due while a poll is still on its way is
    // kept, once, and its poll follows at once: a slow poll is followed by one poll, not a burst.
    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(kTimerInterval);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &frmQuillon::Timer1_Timer);

    auto *help = new QShortcut(QKeySequence::HelpContents, this);
    help->setContext(Qt::ApplicationShortcut);
    connect(help, &QShortcut::activated, this, &frmQuillon::itmContents_Click);
}

frmQuillon::~frmQuillon() { Form_Unload(); }

void frmQuillon::buildPanel() {
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    client->setFixedSize(kClientWidth, kClientHeight);
    QPalette pal = client->palette();
    pal.setColor(QPalette::Window, Qt::black);
    client->setPalette(pal);
    client->setAutoFillBackground(true);
    setCentralWidget(client);

    // Frames first, so the titles are drawn over their top edges.
    auto *shape1 = new RoundedFrame(client);
    shape1->setObjectName(QStringLiteral("Shape1"));
    shape1->setGeometry(twipRect(480, 840, 1935, 2535));
    auto *shape2 = new RoundedFrame(client);
    shape2->setObjectName(QStringLiteral("Shape2"));
    shape2->setGeometry(twipRect(2640, 1200, 1095, 1455));

    struct LabelDef {
        const char *name;
        const char *caption;
        QRect geometry;
        Qt::Alignment alignment;
        bool border;
        bool bold;
    };
    const LabelDef labels[] = {
        {"BWlbl", "RECEIVER BANDWIDTH", twipRect(1080, 240, 2235, 225), Qt::AlignLeft, true, true},
        {"lblMain", "MAIN RCVR", twipRect(960, 720, 975, 255), Qt::AlignHCenter, true, false},
        {"Hi_IF_Lbl", "8.215", twipRect(720, 1080, 615, 255), Qt::AlignHCenter, false, false},
        {"Lo_IF_Lbl", "455", twipRect(1560, 1080, 615, 255), Qt::AlignHCenter, false, false},
        {"lblSub", "SUB RCVR", twipRect(2760, 1080, 855, 255), Qt::AlignHCenter, true, false},
    };
    for (const LabelDef &def : labels) {
        auto *label = new PanelLabel(QString::fromLatin1(def.caption), def.border, def.alignment, client);
        label->setObjectName(QString::fromLatin1(def.name));
        label->setFont(classicFont(ClassicFace::MsSansSerif, def.bold));
        label->setGeometry(def.geometry);
    }

    for (const FilterButtonInfo &info : filterButtons()) {
        auto *b = new LampButton(QString::fromLatin1(info.caption), client);
        b->setObjectName(QString::fromLatin1(info.name));
        b->setAccessibleName(QString::fromUtf8(info.accessibleName));
        b->setFont(classicFont(ClassicFace::Arial));
        b->setGeometry(px(info.left), px(info.top), px(kButtonWidth), px(kButtonHeight));
        // The keyboard reaches it (Tab, the arrows), a click never leaves it holding the focus: the
        // mouse user sees no focus mark, and Space or Enter after a click sends nothing.
        b->setFocusPolicy(Qt::TabFocus);
        b->setKey(filterKey(info.id));
        b->setToolTip(
            QStringLiteral("%1 (%2)").arg(b->accessibleName(), b->key().toString(QKeySequence::NativeText)));
        showLamp(b, false);
        connect(b, &QPushButton::clicked, this, kClickHandlers[indexOf(info.id)]);
        connect(b, &LampButton::lampChanged, this, [this, b](bool lit) {
            if (!lit)
                return;
            if (m_litNews.isEmpty())
                QTimer::singleShot(0, this, [this] {
                    m_lampNews->tell(m_litNews.join(QStringLiteral("; ")));
                    m_litNews.clear();
                });
            m_litNews << b->accessibleName() + QStringLiteral(", in use");
        });
        connect(b, &LampButton::selectRequested, this, [this, id = info.id] { selectByKey(id); });
        connect(b, &LampButton::arrowPressed, this, [this, id = info.id](Qt::Key key) {
            m_buttons[indexOf(arrowTarget(id, key))]->setFocus(Qt::TabFocusReason);
        });
        m_buttons[indexOf(info.id)] = b;
    }

    // Beyond the right edge: it holds the keyboard focus until the operator moves it to a filter
    // button, so a key press lands on nothing.
    m_cmdDummy = new QPushButton(QStringLiteral("dum"), client);
    m_cmdDummy->setObjectName(QStringLiteral("cmdDummy"));
    m_cmdDummy->setFont(classicFont(ClassicFace::MsSansSerif));
    m_cmdDummy->setGeometry(twipRect(4680, 120, 495, 255));
    m_cmdDummy->setFocusPolicy(Qt::StrongFocus);
    // What a screen reader says when the window opens, with the focus here.
    m_cmdDummy->setAccessibleDescription(
        QStringLiteral("Tab moves to the filter buttons; F1 opens the help, which lists each filter's key"));
    m_cmdDummy->setAutoDefault(false);
    m_cmdDummy->setFocus();

    // Beyond the right edge too: unseen, it only speaks.
    m_lampNews = new LampNews(client);
    m_lampNews->setObjectName(QStringLiteral("lampNews"));
    m_lampNews->setGeometry(twipRect(4680, 480, 495, 255));
}

void frmQuillon::buildMenu() {
#ifndef Q_OS_WIN
    auto *style = new NoAltAloneStyle(QStyleFactory::create(QApplication::style()->name()));
    style->setParent(this);
    menuBar()->setStyle(style);
#endif
    m_mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    m_mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    QAction *contents = m_mnuHelp->addAction(QStringLiteral("Contents"));
    contents->setObjectName(QStringLiteral("itmContents"));
    connect(contents, &QAction::triggered, this, &frmQuillon::itmContents_Click);
    QAction *about = m_mnuHelp->addAction(QStringLiteral("About Quillon"));
    about->setObjectName(QStringLiteral("itmAbout"));
    connect(about, &QAction::triggered, this, &frmQuillon::itmAbout_Click);
}

// One key per filter, in the window and whatever has the focus there. Held down it selects once.
void frmQuillon::buildKeys() {
    for (const FilterButtonInfo &info : filterButtons()) {
        auto *key = new QShortcut(filterKey(info.id), this);
        key->setObjectName(QStringLiteral("key_") + QString::fromLatin1(info.name));
        key->setContext(Qt::WindowShortcut);
        key->setAutoRepeat(false);
        connect(key, &QShortcut::activated, this, [this, id = info.id] { selectByKey(id); });
    }
}

bool frmQuillon::focusNextPrevChild(bool next) {
    // cmdDummy is left out: it lies beyond the window's edge, and a stop there would hide the focus.
    const auto at = std::find(m_buttons.begin(), m_buttons.end(), focusWidget());
    std::size_t to = next ? 0 : kFilterCount - 1;
    if (at != m_buttons.end())
        to =
            (static_cast<std::size_t>(at - m_buttons.begin()) + (next ? 1 : kFilterCount - 1)) % kFilterCount;
    m_buttons[to]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

QColor frmQuillon::LitColour() { return QColor(0, 255, 0); }

QColor frmQuillon::IdleColour() { return QApplication::palette().color(QPalette::Active, QPalette::Button); }

QPushButton *frmQuillon::button(FilterId id) const { return m_buttons[indexOf(id)]; }

bool frmQuillon::Form_Load() {
    FindMp();
    if (m_unloaded)
        return false;
    m_timer->start();
    return true;
}

void frmQuillon::FindMp() {
    // The search's result, and the window's wait for it. The job fills the result on the owner's
    // thread; `over` says it is done with it, whether it ran or not.
    struct Search {
        std::mutex mutex;
        QEventLoop *loop = nullptr;
        bool over = false;
        bool ran = false;
        bool found = false;
        qint16 port = 0;
        QByteArray rx;
        SearchReport report;
    };
    // The job's function is destroyed however the job ends: once it has run, when post() drops it
    // (the owner has stopped), or when stop() clears the queue. So this ends the window's wait in
    // each case; it is posted under the lock, which the window holds while it lets go of its loop.
    struct EndsTheWait {
        explicit EndsTheWait(std::shared_ptr<Search> s) : search(std::move(s)) {}
        EndsTheWait(const EndsTheWait &) = delete;
        EndsTheWait &operator=(const EndsTheWait &) = delete;
        std::shared_ptr<Search> search;
        ~EndsTheWait() {
            const std::lock_guard lock(search->mutex);
            search->over = true;
            if (search->loop)
                QMetaObject::invokeMethod(search->loop, &QEventLoop::quit, Qt::QueuedConnection);
        }
    };
    auto search = std::make_shared<Search>();
    QEventLoop searching;
    search->loop = &searching;
    ++m_outstanding;
    m_owner->post(
        LineOwner::Priority::Operator,
        [this, search, plan = m_plan, ends = std::make_shared<EndsTheWait>(search)](LineOwner::Context &c) {
            QByteArray rx = m_lineRxData;
            qint16 port = 0;
            SearchReport report;
            const bool found = searchForRadio(c.line, c.wait, port, rx, &report, plan);
            m_lineRxData = rx;
            const std::lock_guard lock(search->mutex);
            search->ran = true;
            search->found = found;
            search->port = port;
            search->rx = rx;
            search->report = std::move(report);
        });
    // The search waits on the owner's thread; this one goes on handling events.
    bool over = false;
    {
        const std::lock_guard lock(search->mutex);
        over = search->over;
    }
    if (!over)
        searching.exec();
    {
        const std::lock_guard lock(search->mutex);
        search->loop = nullptr;
        over = search->over;
    }
    // Only the program's end quits every loop before the job is over: stopping the owner ends
    // the search at once (or drops it), and nothing of it runs after this.
    if (!over)
        Form_Unload();
    --m_outstanding;
    // A search cut short or never run because the owner stopped: the program is closing, and
    // there is nothing to tell.
    if (m_owner->isStopped()) {
        Form_Unload();
        return;
    }
    PortNum = search->port;
    RxData = search->rx;
    if (search->found) {
        m_platform.beep();
        return;
    }
    m_platform.showMessage(QStringLiteral("I couldn't find the FT-1000MP on any COM port"),
                           QStringLiteral("Quillon"), searchFailureCause(search->report, m_plan.chosen));
    Form_Unload();
}

void frmQuillon::Form_Unload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    // The window's timer goes with it; a poll on a closed line must not follow.
    if (m_timer)
        m_timer->stop();
    // Ends the owner's waits at once; it closes the line if the line is open.
    m_owner->stop();
}

void frmQuillon::closeEvent(QCloseEvent *event) {
    Form_Unload();
    event->accept();
}

void frmQuillon::showCentred() {
    const QScreen *s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (s) {
        QRect box(QPoint(), frameGeometry().size());
        box.moveCenter(s->availableGeometry().center());
        move(box.topLeft());
    }
    show();
}

void frmQuillon::Timer1_Timer() {
    if (m_polling) {
        m_tickPending = true;
        return;
    }
    m_polling = true;
    postStatus(LineOwner::Priority::Poll, FilterGroup::MainHi, std::nullopt, false);
    postStatus(LineOwner::Priority::Poll, FilterGroup::Sub, std::nullopt, true);
}

void frmQuillon::setShare(RadioShare *share) {
    m_share = share;
    m_store = share ? share->store() : nullptr;
}

ReplyEnd frmQuillon::replyEnd() const { return m_share ? ReplyEnd::OnWholeRecord : ReplyEnd::AfterWait; }

void frmQuillon::postStatus(LineOwner::Priority priority, FilterGroup group, std::optional<Select> select,
                            bool endsPoll) {
    if (m_unloaded)
        return;
    ++m_outstanding;
    const ReplyEnd end = replyEnd();
    m_owner->post(priority, [this, group, select, endsPoll, end, store = m_store](LineOwner::Context &c) {
        if (select) {
            if (store)
                store->sending(filterSelectBlock(select->FilterPath, select->FilterCode));
            quillon::SwitchFilters(c.line, select->FilterPath, select->FilterCode);
        }
        const quint8 which = group == FilterGroup::Sub ? kStatusMainAndSub : kStatusMain;
        const bool whole = group == FilterGroup::Sub ? exchangeSubStatus(c.line, c.wait, m_lineRxData, end)
                                                     : exchangeMainStatus(c.line, c.wait, m_lineRxData, end);
        // Only what this exchange read (one that failed leaves the last record in RxData).
        if (store && whole)
            store->put(statusBlock(which), m_lineRxData, c.clock.now());
        // Painted on the window's thread; dropped if the window is gone by then.
        QMetaObject::invokeMethod(
            this, [this, group, reply = m_lineRxData, endsPoll] { statusIn(group, reply, endsPoll); },
            Qt::QueuedConnection);
    });
}

void frmQuillon::statusIn(FilterGroup group, const QByteArray &reply, bool endsPoll) {
    --m_outstanding;
    RxData = reply;
    if (group == FilterGroup::Sub)
        SetSubLites();
    else
        SetMainLites();
    if (!endsPoll)
        return;
    m_polling = false;
    emit pollCompleted();
    if (std::exchange(m_tickPending, false) && m_timer->isActive())
        Timer1_Timer();
}

void frmQuillon::CheckMainFilters() {
    postStatus(LineOwner::Priority::Poll, FilterGroup::MainHi, std::nullopt, false);
}

void frmQuillon::CheckSubFilters() {
    postStatus(LineOwner::Priority::Poll, FilterGroup::Sub, std::nullopt, false);
}

void frmQuillon::paintGroup(std::span<const FilterId> paintingOrder, FilterId lit) {
    for (FilterId id : paintingOrder)
        showLamp(m_buttons[indexOf(id)], id == lit);
}

// The lamp is the button's colour; assistive technology hears of it as the button's checked
// state, told when it changes.
void frmQuillon::showLamp(LampButton *button, bool lit) {
    button->setLamp(lit, lit ? LitColour() : IdleColour());
}

void frmQuillon::SetMainLites() {
    const MainLamps lamps = decodeMainReply(RxData);
    if (!lamps.decoded)
        return;
    if (lamps.hi)
        paintGroup(mainHiPaintingOrder(), *lamps.hi);
    if (lamps.lo)
        paintGroup(mainLoPaintingOrder(), *lamps.lo);
}

void frmQuillon::SetSubLites() {
    const SubLamps lamps = decodeSubReply(RxData);
    if (lamps.decoded && lamps.lit)
        paintGroup(subPaintingOrder(), *lamps.lit);
}

void frmQuillon::SwitchFilters() {
    if (m_unloaded)
        return;
    m_owner->post(LineOwner::Priority::Operator,
                  [FilterPath = FilterPath, FilterCode = FilterCode, store = m_store](LineOwner::Context &c) {
                      if (store)
                          store->sending(filterSelectBlock(FilterPath, FilterCode));
                      quillon::SwitchFilters(c.line, FilterPath, FilterCode);
                  });
}

void frmQuillon::filterClicked(FilterId id) {
    if (!m_selectingByKey)
        m_cmdDummy->setFocus(Qt::OtherFocusReason);
    const FilterButtonInfo &info = filterButton(id);
    FilterPath = info.FilterPath;
    FilterCode = static_cast<qint16>(info.FilterCode);
    // The select and its re-read are one operator job: they go on the wire before anything else
    // that waits, one right after the other. The clicked button is not painted here: it lights
    // only if the radio reports the change.
    postStatus(LineOwner::Priority::Operator,
               info.group == FilterGroup::Sub ? FilterGroup::Sub : FilterGroup::MainHi,
               Select{FilterPath, FilterCode}, false);
}

void frmQuillon::selectByKey(FilterId id) {
    const QScopedValueRollback byKey(m_selectingByKey, true);
    (this->*kClickHandlers[indexOf(id)])();
}

void frmQuillon::Hi_250_Cmd_Click() { filterClicked(FilterId::Hi_250); }
void frmQuillon::Hi_500_Cmd_Click() { filterClicked(FilterId::Hi_500); }
void frmQuillon::Hi_2000_Cmd_Click() { filterClicked(FilterId::Hi_2000); }
void frmQuillon::Hi_2400_Cmd_Click() { filterClicked(FilterId::Hi_2400); }
void frmQuillon::Hi_Thru_Cmd_Click() { filterClicked(FilterId::Hi_Thru); }
void frmQuillon::Lo_250_Cmd_Click() { filterClicked(FilterId::Lo_250); }
void frmQuillon::Lo_500_Cmd_Click() { filterClicked(FilterId::Lo_500); }
void frmQuillon::Lo_2000_Cmd_Click() { filterClicked(FilterId::Lo_2000); }
void frmQuillon::Lo_2400_Cmd_Click() { filterClicked(FilterId::Lo_2400); }
void frmQuillon::Lo_6000_Cmd_Click() { filterClicked(FilterId::Lo_6000); }
void frmQuillon::cmdSub500_Click() { filterClicked(FilterId::Sub500); }
void frmQuillon::cmdSub2400_Click() { filterClicked(FilterId::Sub2400); }
void frmQuillon::cmdSub6000_Click() { filterClicked(FilterId::Sub6000); }

void frmQuillon::itmContents_Click() {
    CommonDialog1.HelpFile = QStringLiteral("Quillon.hlp");
    CommonDialog1.HelpCommand = kHelpContents;
    CommonDialog1.ShowHelp();
}

void frmQuillon::itmAbout_Click() { frmAbout::showAbout(this); }

} // namespace quillon
