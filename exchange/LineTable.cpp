#include "exchange/LineTable.h"

#include "exchange/Log.h"

namespace exchange {

const char* CallStateName(CallState state)
{
    switch (state) {
    case CallState::Idle: return "idle";
    case CallState::Connected: return "connected";
    case CallState::Ringing: return "ringing";
    case CallState::Dialing: return "dialing";
    case CallState::Busy: return "busy";
    case CallState::Hold: return "hold";
    }
    return "?";
}

LineTable::LineTable(const ExchangeConfig& config)
{
    for (const Extension& e : config.extensions) {
        entries_.push_back({e, e.cos, {}});
        ids_[e.number] = static_cast<int>(entries_.size());
    }
}

int LineTable::IdOf(const std::string& number) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ids_.find(number);
    return it == ids_.end() ? 0 : it->second;
}

std::string LineTable::NumberOf(int id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (id < 1 || id > static_cast<int>(entries_.size()))
        return {};
    return entries_[id - 1].extension.number;
}

bool LineTable::IsLine(const std::string& number) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ids_.find(number);
    return it != ids_.end() && entries_[it->second - 1].extension.line;
}

int LineTable::CosOf(const std::string& number) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ids_.find(number);
    return it == ids_.end() ? -1 : entries_[it->second - 1].cos;
}

bool LineTable::GetCos(int id, int& cos) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (id < 1 || id > static_cast<int>(entries_.size()))
        return false;
    cos = entries_[id - 1].cos;
    return true;
}

bool LineTable::SetCos(int id, int cos)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (id < 1 || id > static_cast<int>(entries_.size()))
        return false;
    entries_[id - 1].cos = cos;
    return true;
}

LineTable::LineState LineTable::StateOf(int id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (id < 1 || id > static_cast<int>(entries_.size()))
        return {};
    return entries_[id - 1].state;
}

void LineTable::Report(const std::string& number, int call, CallState state)
{
    std::function<void(int, int, CallState)> observer;
    int id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = ids_.find(number);
        if (it == ids_.end())
            return;
        id = it->second;
        entries_[id - 1].state = {call, state};
        observer = observer_;
    }
    Log(Informational, "line ", number, " call ", call, std::string(" ") + CallStateName(state));
    if (observer)
        observer(id, call, state);
}

void LineTable::SetObserver(std::function<void(int, int, CallState)> observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

} // namespace exchange
