#include "voip/ivr/IvrDialogue.h"

#include "voip/ivr/Prompts.h"

#include <functional>
#include <mutex>
#include <vector>

namespace voip {

struct IvrDialogue::Core : VxmlHost, std::enable_shared_from_this<Core>
{
    Core(IvrDialogueListener& l, Executor& s)
        : scheduler(s), strand(std::make_shared<Strand>(s)), player(std::make_shared<PromptPlayer>()),
          listener(&l), session(*this)
    {
    }

    // Runs fn on the session under the lock, then hands the outcomes it produced to the strand.
    template <typename Fn> auto WithSession(Fn fn)
    {
        std::vector<std::function<void(IvrDialogueListener&)>> out;
        std::unique_lock<std::mutex> lock(mutex);
        auto result = fn(session);
        out.swap(outcomes);
        lock.unlock();
        for (auto& outcome : out)
            strand->Post([self = shared_from_this(), outcome = std::move(outcome)] {
                std::lock_guard<std::mutex> calling(self->callMutex);
                if (self->listener)
                    outcome(*self->listener);
            });
        return result;
    }

    // Delivers an event to the session in order with the others.
    template <typename Fn> void PostEvent(Fn fn)
    {
        strand->Post([weak = weak_from_this(), fn] {
            if (auto self = weak.lock())
                self->WithSession([&](VxmlSession& s) {
                    fn(s);
                    return 0;
                });
        });
    }

    // VxmlHost, called with the lock held.
    void PlayAudio(uint32_t id, const std::string& path, const std::string& text) override
    {
        auto clip = LoadPrompt(path, text);
        player->Play(clip);
        scheduler.Cancel(audioTimer);
        audioTimer = scheduler.After(ClipMs(*clip), [weak = weak_from_this(), id] {
            if (auto self = weak.lock())
                self->PostEvent([id](VxmlSession& s) { s.OnAudioFinished(id); });
        });
    }
    void StopAudio() override
    {
        player->Stop();
        scheduler.Cancel(audioTimer);
    }
    void StartTimer(uint32_t id, int ms) override
    {
        scheduler.Cancel(timer);
        timer = scheduler.After(ms, [weak = weak_from_this(), id] {
            if (auto self = weak.lock())
                self->PostEvent([id](VxmlSession& s) { s.OnTimer(id); });
        });
    }
    void CancelTimer() override { scheduler.Cancel(timer); }
    void Transfer(const std::string& destination) override
    {
        outcomes.push_back([destination](IvrDialogueListener& l) { l.OnDialogueTransfer(destination); });
    }
    void HangUp() override
    {
        outcomes.push_back([](IvrDialogueListener& l) { l.OnDialogueHangUp(); });
    }
    void DialogueEnded(VxmlEnd reason) override
    {
        outcomes.push_back([reason](IvrDialogueListener& l) { l.OnDialogueEnded(reason); });
    }

    Executor& scheduler;
    std::shared_ptr<Strand> strand;
    std::shared_ptr<PromptPlayer> player;
    std::mutex callMutex; // held while the listener is called; taken before mutex
    IvrDialogueListener* listener;
    mutable std::mutex mutex;
    VxmlSession session;
    std::vector<std::function<void(IvrDialogueListener&)>> outcomes;
    uint64_t timer = 0;
    uint64_t audioTimer = 0;
};

IvrDialogue::IvrDialogue(IvrDialogueListener& listener, Executor& scheduler)
    : core_(std::make_shared<Core>(listener, scheduler))
{
}

IvrDialogue::~IvrDialogue()
{
    // From inside a listener call the strand is ours already; elsewhere wait for a running call.
    std::unique_lock<std::mutex> calling(core_->callMutex, std::defer_lock);
    if (!core_->strand->RunningHere())
        calling.lock();
    core_->listener = nullptr;
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->session.Stop();
    core_->player->Stop();
    core_->outcomes.clear();
}

std::shared_ptr<AudioSource> IvrDialogue::Audio() const
{
    return core_->player;
}

bool IvrDialogue::Start(const std::string& document)
{
    return core_->WithSession([&](VxmlSession& s) { return s.Start(document); });
}

void IvrDialogue::Stop()
{
    core_->WithSession([](VxmlSession& s) {
        s.Stop();
        return 0;
    });
    core_->player->Stop();
}

bool IvrDialogue::IsRunning() const
{
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->session.IsRunning();
}

void IvrDialogue::Digits(const std::string& keys)
{
    core_->PostEvent([keys](VxmlSession& s) { s.OnDigits(keys); });
}

void IvrDialogue::TransferFinished()
{
    core_->PostEvent([](VxmlSession& s) { s.OnTransferFinished(); });
}

void IvrDialogue::SetVar(const std::string& name, const std::string& value)
{
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->session.SetVar(name, value);
}

std::string IvrDialogue::GetVar(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->session.GetVar(name);
}

std::map<std::string, std::string> IvrDialogue::Variables() const
{
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->session.Variables();
}

} // namespace voip
