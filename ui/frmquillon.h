// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "commondialog.h"
#include "filters/filterstatus.h"
#include "filters/filtertable.h"
#include "radio/discovery.h"
#include "radio/lineowner.h"
#include "radio/serialline.h"

#include <QByteArray>
#include <QMainWindow>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>
#include <span>

class QAction;
class QMenu;
class QPushButton;
class QTimer;

namespace quillon {

class LampButton;
class LampNews;
class PanelLabel;
class Platform;
class RadioShare;
class ReplyStore;
class RoundedFrame;

// The main window: finds the radio when loaded, then shows the thirteen filter buttons whose
// colours are the radio's filter state, polled twice a second. Every exchange with the radio is
// a job for the line's owner; the window only asks, and paints what comes back, so it never
// waits for the radio.
class frmQuillon final : public QMainWindow {
    Q_OBJECT
public:
    frmQuillon(Platform &platform, std::unique_ptr<SerialLine> line, QWidget *parent = nullptr);
    ~frmQuillon() override;

    // Client area below the menu bar, in pixels (4230 x 3600 twips).
    static constexpr int kClientWidth = 282;
    static constexpr int kClientHeight = 240;
    static constexpr int kTimerInterval = 500; // ms

    static QColor LitColour();
    static QColor IdleColour();

    // Where Form_Load looks for the radio: COM1 to COM16 unless the user chose one port.
    void setSearchPlan(SearchPlan plan) { m_plan = std::move(plan); }
    // Runs the search for the radio (the window's events go on meanwhile; it is not shown yet);
    // true when found. On failure the message has been shown and the window unloaded; it must
    // not be shown. Should the owner stop first (the program closing), it returns false at once,
    // unloaded, with no message.
    bool Form_Load();
    // Stops the line's owner, which closes the line if it is open. Runs once, whichever way the
    // window goes.
    void Form_Unload();
    bool isUnloaded() const { return m_unloaded; }

    void FindMp();
    // Ask the owner for a status exchange, behind any operator job; the lamps follow when the
    // reply is in.
    void CheckMainFilters();
    void CheckSubFilters();
    void SetMainLites();
    void SetSubLites();
    // Sends FilterSelect from FilterPath and FilterCode, as an operator job.
    void SwitchFilters();

    // Shows the window centred on its screen.
    void showCentred();

    // While the radio is shared, the window's own exchanges end as soon as their record is whole,
    // so that the clients' blocks wait as little as possible.
    // The window's own records go into the share's store of fresh replies, and its filter
    // selects make what is stored stale.
    void setShare(RadioShare *share);
    RadioShare *share() const { return m_share; }

    QPushButton *button(FilterId id) const;
    QTimer *timer() const { return m_timer; }
    LineOwner &lineOwner() const { return *m_owner; }
    // Not for I/O while the owner runs: its thread alone talks to the radio.
    SerialLine &serialLine() const { return m_owner->line(); }
    // A job of the window's asked for and its result not yet painted.
    bool isBusy() const { return m_outstanding > 0; }
    CommonDialog &commonDialog() { return CommonDialog1; }

    qint16 PortNum = 0;
    QByteArray RxData;
    int FilterPath = 0;
    qint16 FilterCode = 0;

signals:
    // A poll's two exchanges are done and their lamps painted.
    void pollCompleted();

public slots:
    void Timer1_Timer();

    void Hi_250_Cmd_Click();
    void Hi_500_Cmd_Click();
    void Hi_2000_Cmd_Click();
    void Hi_2400_Cmd_Click();
    void Hi_Thru_Cmd_Click();
    void Lo_250_Cmd_Click();
    void Lo_500_Cmd_Click();
    void Lo_2000_Cmd_Click();
    void Lo_2400_Cmd_Click();
    void Lo_6000_Cmd_Click();
    void cmdSub500_Click();
    void cmdSub2400_Click();
    void cmdSub6000_Click();

    void itmContents_Click();
    void itmAbout_Click();

protected:
    void closeEvent(QCloseEvent *event) override;
    // Tab and Shift+Tab go round the thirteen filter buttons.
    bool focusNextPrevChild(bool next) override;

private:
    void buildPanel();
    void buildMenu();
    void buildKeys();
    void filterClicked(FilterId id);
    // A filter chosen without the mouse (its key, Space or Return on its button, a screen
    // reader's Press): what a click does, except that the focus stays where the operator has it.
    void selectByKey(FilterId id);
    void paintGroup(std::span<const FilterId> paintingOrder, FilterId lit);
    static void showLamp(LampButton *button, bool lit);

    struct Select {
        int FilterPath;
        qint16 FilterCode;
    };
    // One status exchange as a job, after a FilterSelect when select is given.
    void postStatus(LineOwner::Priority priority, FilterGroup group, std::optional<Select> select,
                    bool endsPoll);
    void statusIn(FilterGroup group, const QByteArray &reply, bool endsPoll);
    ReplyEnd replyEnd() const;

    Platform &m_platform;
    std::unique_ptr<LineOwner> m_owner;
    RadioShare *m_share = nullptr;
    std::shared_ptr<ReplyStore> m_store;
    SearchPlan m_plan;
    // The reply of the last exchange, on the owner's thread: a failed read leaves it as it was,
    // as it leaves RxData.
    QByteArray m_lineRxData;
    int m_outstanding = 0;
    bool m_polling = false;     // a poll's exchanges are on their way
    bool m_tickPending = false; // a tick fell due meanwhile: one poll follows at once
    CommonDialog CommonDialog1;
    bool m_unloaded = false;
    bool m_selectingByKey = false;

    std::array<LampButton *, kFilterCount> m_buttons{};
    QPushButton *m_cmdDummy = nullptr;
    LampNews *m_lampNews = nullptr;
    QStringList m_litNews; // lamps lit since the last message, told together
    QTimer *m_timer = nullptr;
    QMenu *m_mnuHelp = nullptr;
};

} // namespace quillon
