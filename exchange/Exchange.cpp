#include "exchange/Exchange.h"

#include "exchange/ControlServer.h"
#include "exchange/LineTable.h"
#include "voip/media/RtpRelay.h"
#include "exchange/SipSwitch.h"
#include "platform/dialplan/DialPlan.h"

#include "exchange/Log.h"
#include "platform/pbxcontrol/ControlProtocol.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QSocketNotifier>

#include <cerrno>
#include <future>

#include <sys/eventfd.h>
#include <unistd.h>

namespace exchange {

using voip::RtpRelay;

Exchange::Exchange(const ExchangeConfig& config)
    : config_(config), lines_(std::make_unique<LineTable>(config_)),
      plan_(std::make_unique<dialplan::DialPlan>(config_.dialPlan))
{
}

Exchange::~Exchange() { Stop(); }

bool Exchange::Start(std::string& error)
{
    int port = 0;
    if (!SplitHostPort(config_.sipAddress, sipHost_, port, 5060)) {
        error = "bad SIP address " + config_.sipAddress;
        return false;
    }
    relay_ = std::make_unique<RtpRelay>(sipHost_, config_.rtpFirstPort, config_.rtpLastPort);
    if (!relay_->Start()) {
        error = "cannot start the media relay";
        return false;
    }
    sip_ = std::make_unique<SipSwitch>(config_, *lines_, *plan_, *relay_);
    if (!sip_->Start(sipHost_, port)) {
        error = "cannot listen for SIP on " + config_.sipAddress;
        return false;
    }
    sipPort_ = sip_->Port();

    std::string controlHost;
    int wanted = 0;
    if (!SplitHostPort(config_.controlAddress, controlHost, wanted, pbxcontrol::kDefaultPort)) {
        error = "bad control address " + config_.controlAddress;
        return false;
    }
    // The control server lives in a thread of its own with its own event loop. Everything crossing
    // into it (the line states, the stop) goes through a queue under a mutex and an eventfd, which
    // need nothing from the owner's thread and which ThreadSanitizer can follow.
    controlWake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (controlWake_ < 0) {
        error = "cannot create the control thread's wake-up";
        return false;
    }
    std::promise<int> listening; // the port, or -1
    std::future<int> listened = listening.get_future();
    controlThread_ = std::thread([this, controlHost, wanted, &listening] {
        QEventLoop loop;
        ControlServer server(*lines_, *plan_, config_.username, config_.password, config_.control);
        if (!server.Listen(QHostAddress(QString::fromStdString(controlHost)), quint16(wanted))) {
            listening.set_value(-1);
            return;
        }
        QSocketNotifier wake(controlWake_, QSocketNotifier::Read);
        QObject::connect(&wake, &QSocketNotifier::activated, &wake, [&] {
            uint64_t count = 0;
            if (read(controlWake_, &count, sizeof count) < 0 && errno != EAGAIN)
                Log(Warning, "control: cannot read its wake-up");
            std::deque<Notification> batch;
            bool stop = false;
            {
                std::lock_guard<std::mutex> lock(controlMutex_);
                batch.swap(notifications_);
                stop = controlStop_;
            }
            for (const Notification& n : batch)
                server.Notify(n.line, n.call, n.state);
            if (stop)
                loop.quit();
        });
        listening.set_value(server.Port());
        loop.exec();
    });
    controlPort_ = listened.get();
    if (controlPort_ < 0) {
        controlThread_.join();
        error = "cannot listen for control clients on " + config_.controlAddress;
        return false;
    }
    lines_->SetObserver([this](int line, int call, CallState state) {
        {
            std::lock_guard<std::mutex> lock(controlMutex_);
            notifications_.push_back({line, call, state});
        }
        WakeControl();
    });
    Log(Notice, "exchange: SIP on " + sipHost_ + ":", sipPort_, ", control on " + controlHost + ":", controlPort_);
    return true;
}

void Exchange::Stop()
{
    lines_->SetObserver(nullptr);
    if (sip_)
        sip_->Stop();
    if (controlThread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(controlMutex_);
            controlStop_ = true;
        }
        WakeControl();
        controlThread_.join();
    }
    if (controlWake_ >= 0) {
        close(controlWake_);
        controlWake_ = -1;
    }
    if (relay_)
        relay_->Stop();
}

void Exchange::WakeControl()
{
    uint64_t one = 1;
    if (write(controlWake_, &one, sizeof one) < 0)
        Log(Warning, "control: cannot wake its thread");
}

} // namespace exchange
