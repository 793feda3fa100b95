#include "voip/vxml/VxmlSession.h"

#include "voip/core/Log.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace voip {

namespace {

constexpr size_t kMaxTypeAhead = 64;
constexpr size_t kMaxDigitsLimit = 64;
constexpr int kMaxBreakMs = 10 * 60 * 1000;

bool IsDtmfKey(char c)
{
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
}

bool Is(const VxmlNode& node, const char* name)
{
    return node.name == name;
}

// "3s", "500ms" (CSS2 times); a bare number counts as milliseconds. -1 when unreadable.
int ParseTimeMs(const std::string& text)
{
    std::string t = FoldWhitespace(text);
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || !std::isfinite(v) || v < 0)
        return -1;
    std::string unit(end);
    double ms;
    if (unit.empty() || unit == "ms")
        ms = v;
    else if (unit == "s")
        ms = v * 1000;
    else
        return -1;
    return ms > kMaxBreakMs ? kMaxBreakMs : static_cast<int>(ms);
}

// "file:/dir/x.wav", "file:///dir/x.wav" or a plain path; empty for any other scheme.
std::string PathFromSrc(const std::string& src)
{
    if (src.rfind("file://", 0) == 0)
        return src.substr(7);
    if (src.rfind("file:", 0) == 0)
        return src.substr(5);
    if (src.find("://") != std::string::npos)
        return {};
    return src;
}

// Expressions: string and number literals, variables (dotted names), '+' and parentheses.
class Expression
{
public:
    using Lookup = std::function<const VxmlValue*(const std::string&)>;

    Expression(const std::string& text, Lookup lookup) : text_(text), lookup_(std::move(lookup)) {}

    bool Evaluate(VxmlValue& out, std::string& error)
    {
        SkipSpace();
        if (pos_ == text_.size()) {
            out = VxmlValue{};
            return true;
        }
        if (!Sum(out))
            return Fail(error);
        SkipSpace();
        if (pos_ != text_.size()) {
            error_ = "unexpected '" + text_.substr(pos_) + "'";
            return Fail(error);
        }
        return true;
    }

private:
    bool Fail(std::string& error)
    {
        error = error_.empty() ? "bad expression" : error_;
        return false;
    }

    void SkipSpace()
    {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }

    bool Sum(VxmlValue& out)
    {
        if (++depth_ > 32) {
            error_ = "expression nested too deeply";
            return false;
        }
        if (!Term(out))
            return false;
        for (;;) {
            SkipSpace();
            if (pos_ >= text_.size() || text_[pos_] != '+')
                break;
            ++pos_;
            VxmlValue rhs;
            if (!Term(rhs))
                return false;
            if (out.kind == VxmlValue::Number && rhs.kind == VxmlValue::Number) {
                out.number += rhs.number;
            } else {
                // ECMAScript: a string on either side makes '+' a concatenation.
                std::string l = out.kind == VxmlValue::Undefined ? "undefined" : out.ToString();
                std::string r = rhs.kind == VxmlValue::Undefined ? "undefined" : rhs.ToString();
                if (out.kind != VxmlValue::String && rhs.kind != VxmlValue::String) {
                    out = VxmlValue::Num(NAN);
                } else {
                    out = VxmlValue::Str(l + r);
                }
            }
        }
        --depth_;
        return true;
    }

    bool Term(VxmlValue& out)
    {
        SkipSpace();
        if (pos_ >= text_.size()) {
            error_ = "operand missing";
            return false;
        }
        char c = text_[pos_];
        if (c == '\'' || c == '"')
            return StringLiteral(c, out);
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
            const char* start = text_.c_str() + pos_;
            char* end = nullptr;
            double v = std::strtod(start, &end);
            if (end == start) {
                error_ = "bad number";
                return false;
            }
            pos_ += static_cast<size_t>(end - start);
            out = VxmlValue::Num(v);
            return true;
        }
        if (c == '(') {
            ++pos_;
            if (!Sum(out))
                return false;
            SkipSpace();
            if (pos_ >= text_.size() || text_[pos_] != ')') {
                error_ = "')' missing";
                return false;
            }
            ++pos_;
            return true;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$') {
            size_t start = pos_;
            while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                                           text_[pos_] == '_' || text_[pos_] == '$' || text_[pos_] == '.'))
                ++pos_;
            std::string name = text_.substr(start, pos_ - start);
            if (name == "undefined") {
                out = VxmlValue{};
                return true;
            }
            const VxmlValue* v = lookup_(name);
            if (!v) {
                error_ = name + " is not defined";
                return false;
            }
            out = *v;
            return true;
        }
        error_ = std::string("unexpected '") + c + "'";
        return false;
    }

    bool StringLiteral(char quote, VxmlValue& out)
    {
        std::string s;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            char c = text_[pos_];
            if (c == quote) {
                ++pos_;
                out = VxmlValue::Str(std::move(s));
                return true;
            }
            if (c == '\\' && pos_ + 1 < text_.size()) {
                char e = text_[++pos_];
                switch (e) {
                case 'n':
                    s += '\n';
                    break;
                case 't':
                    s += '\t';
                    break;
                default:
                    s += e;
                }
                continue;
            }
            s += c;
        }
        error_ = "unterminated string";
        return false;
    }

    const std::string& text_;
    Lookup lookup_;
    size_t pos_ = 0;
    int depth_ = 0;
    std::string error_;
};

} // namespace

const char* VxmlEndName(VxmlEnd reason)
{
    switch (reason) {
    case VxmlEnd::Completed:
        return "completed";
    case VxmlEnd::Disconnected:
        return "disconnected";
    case VxmlEnd::Failed:
        return "failed";
    }
    return "?";
}

std::string VxmlValue::ToString() const
{
    switch (kind) {
    case Undefined:
        return {};
    case String:
        return text;
    case Number:
        break;
    }
    if (std::isnan(number))
        return "NaN";
    if (std::isinf(number))
        return number > 0 ? "Infinity" : "-Infinity";
    char buf[32];
    if (number == std::floor(number) && std::fabs(number) < 1e15)
        std::snprintf(buf, sizeof buf, "%.0f", number);
    else
        std::snprintf(buf, sizeof buf, "%.15g", number);
    return buf;
}

VxmlSession::VxmlSession(VxmlHost& host) : host_(host) {}

VxmlSession::~VxmlSession() = default;

bool VxmlSession::Start(std::string_view document)
{
    Stop();
    for (auto it = vars_.begin(); it != vars_.end();) {
        if (it->first.rfind("dialog.", 0) == 0 || it->first.rfind("document.", 0) == 0)
            it = vars_.erase(it);
        else
            ++it;
    }
    timeoutMs_ = kDefaultTimeoutMs;
    typeAhead_.clear();
    running_ = true;

    std::string error;
    root_ = ParseVxml(document, error);
    if (!root_) {
        Fail("document does not parse: " + error);
        return false;
    }
    if (!Is(*root_, "vxml")) {
        Fail("the root element is <" + root_->name + ">, not <vxml>", root_.get());
        return false;
    }
    stack_.push_back({root_.get(), 0});
    Run();
    return true;
}

void VxmlSession::Stop()
{
    Halt();
}

void VxmlSession::Halt()
{
    ++generation_;
    if (running_) {
        if (wait_ == Wait::Audio)
            host_.StopAudio();
        host_.CancelTimer();
    }
    running_ = false;
    wait_ = Wait::None;
    waitId_ = 0;
    stack_.clear();
    field_ = form_ = nullptr;
    prompting_ = false;
    collected_.clear();
}

void VxmlSession::Run()
{
    const uint64_t generation = generation_;
    while (running_ && generation == generation_ && wait_ == Wait::None && !stack_.empty()) {
        Frame& frame = stack_.back();
        if (frame.next >= frame.node->children.size()) {
            LeaveFrame();
            continue;
        }
        const VxmlNode& child = *frame.node->children[frame.next++];
        Execute(child, *frame.node);
    }
}

void VxmlSession::LeaveFrame()
{
    const VxmlNode& node = *stack_.back().node;
    if (field_ == &node) {
        // The field's prompts are over: now it listens (the frame stays until the field completes).
        WaitForInput();
        return;
    }
    stack_.pop_back();
    // A form that runs to its end ends the document, as does the document's own end.
    if (Is(node, "form") || stack_.empty())
        Finish(VxmlEnd::Completed);
}

void VxmlSession::Execute(const VxmlNode& node, const VxmlNode& parent)
{
    const bool inPrompt = Is(parent, "prompt");
    const bool inHandler = Is(parent, "filled") || Is(parent, "noinput");

    if (node.IsText()) {
        std::string text = FoldWhitespace(node.text);
        if (inPrompt && !text.empty()) {
            wait_ = Wait::Audio;
            waitId_ = NextId();
            host_.PlayAudio(waitId_, {}, text);
        }
        return;
    }

    if (Is(node, "var")) {
        if (!(Is(parent, "vxml") || Is(parent, "form") || inHandler))
            return Fail("<var> inside <" + parent.name + ">", &node);
        const std::string* name = node.Attribute("name");
        if (!name || name->empty())
            return Fail("<var> without a name", &node);
        VxmlValue value;
        const std::string* expr = node.Attribute("expr");
        if (expr && !Evaluate(*expr, value, node))
            return;
        vars_[(Is(parent, "vxml") ? "document." : "dialog.") + *name] = std::move(value);
    } else if (Is(node, "property")) {
        const std::string* name = node.Attribute("name");
        const std::string* value = node.Attribute("value");
        if (!name || !value)
            return Fail("<property> needs a name and a value", &node);
        if (*name == "timeout") {
            int ms = ParseTimeMs(*value);
            if (ms < 0)
                Log(Warning, "VoiceXML: ignored timeout value ", *value);
            else
                timeoutMs_ = ms;
        }
    } else if (Is(node, "break")) {
        const std::string* msecs = node.Attribute("msecs");
        const std::string* time = node.Attribute("time");
        int ms = msecs ? ParseTimeMs(*msecs) : time ? ParseTimeMs(*time) : 0;
        if (ms < 0)
            return Fail("<break> with an unreadable time", &node);
        if (ms > 0) {
            wait_ = Wait::Break;
            waitId_ = NextId();
            host_.StartTimer(waitId_, ms);
        }
    } else if (Is(node, "audio")) {
        const std::string* src = node.Attribute("src");
        std::string path = src ? PathFromSrc(*src) : std::string();
        if (src && path.empty())
            Log(Warning, "VoiceXML: only file: audio is played, not ", *src);
        wait_ = Wait::Audio;
        waitId_ = NextId();
        host_.PlayAudio(waitId_, path, node.CollectText());
    } else if (Is(node, "prompt")) {
        stack_.push_back({&node, 0});
    } else if (Is(node, "form")) {
        if (!Is(parent, "vxml"))
            return Fail("<form> inside <" + parent.name + ">", &node);
        stack_.push_back({&node, 0});
    } else if (Is(node, "field")) {
        if (!Is(parent, "form"))
            return Fail("<field> inside <" + parent.name + ">", &node);
        EnterField(node, parent);
    } else if (Is(node, "grammar")) {
        if (!Is(parent, "field"))
            return Fail("<grammar> outside a field", &node);
    } else if (Is(node, "filled") || Is(node, "noinput")) {
        // Handlers run when their field completes, not in document order.
        if (!Is(parent, "form") && !Is(parent, "field"))
            return Fail("<" + node.name + "> inside <" + parent.name + ">", &node);
    } else if (Is(node, "disconnect")) {
        const uint64_t generation = generation_;
        host_.HangUp();
        if (generation == generation_)
            Finish(VxmlEnd::Disconnected);
    } else if (Is(node, "transfer")) {
        const std::string* destexpr = node.Attribute("destexpr");
        const std::string* dest = node.Attribute("dest");
        VxmlValue value;
        if (destexpr) {
            if (!Evaluate(*destexpr, value, node))
                return;
        } else if (dest) {
            value = VxmlValue::Str(*dest);
        }
        std::string destination = value.ToString();
        if (destination.empty())
            return Fail("<transfer> without a destination", &node);
        wait_ = Wait::Transfer;
        waitId_ = NextId();
        host_.Transfer(destination);
    } else {
        Fail("unknown element <" + node.name + ">", &node);
    }
}

void VxmlSession::EnterField(const VxmlNode& field, const VxmlNode& form)
{
    const std::string* name = field.Attribute("name");
    if (!name || name->empty())
        return Fail("<field> without a name", &field);
    if (!ParseGrammar(field))
        return;
    vars_.erase("dialog." + *name);
    field_ = &field;
    form_ = &form;
    fieldDepth_ = stack_.size();
    collected_.clear();
    prompting_ = true;
    stack_.push_back({&field, 0});

    // Keys pressed before the field started count as barge-in on its prompts.
    if (!typeAhead_.empty()) {
        std::string keys;
        keys.swap(typeAhead_);
        prompting_ = false;
        stack_.back().next = field.children.size();
        OnDigits(keys);
    }
}

bool VxmlSession::ParseGrammar(const VxmlNode& field)
{
    grammar_ = Grammar{};
    for (const auto& child : field.children) {
        if (child->IsText() || !Is(*child, "grammar"))
            continue;
        const std::string* mode = child->Attribute("mode");
        const std::string* type = child->Attribute("type");
        if (mode && *mode != "dtmf") {
            Fail("grammar mode " + *mode + " is not supported", child.get());
            return false;
        }
        if (type && *type != "X-OPAL/digits") {
            Fail("grammar type " + *type + " is not supported", child.get());
            return false;
        }
        // "minDigits=1;maxDigits=11;terminators=#", spaces allowed around the items.
        std::string text = child->CollectText();
        size_t start = 0;
        while (start <= text.size()) {
            size_t semi = text.find(';', start);
            std::string item =
                FoldWhitespace(text.substr(start, semi == std::string::npos ? semi : semi - start));
            start = semi == std::string::npos ? text.size() + 1 : semi + 1;
            if (item.empty())
                continue;
            size_t eq = item.find('=');
            std::string key = FoldWhitespace(item.substr(0, eq));
            std::string value = eq == std::string::npos ? std::string() : FoldWhitespace(item.substr(eq + 1));
            if (key == "terminators") {
                grammar_.terminators = value;
            } else if (key == "minDigits" || key == "maxDigits") {
                char* end = nullptr;
                long n = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || n < 0 || n > static_cast<long>(kMaxDigitsLimit)) {
                    Fail("grammar " + key + "=" + value + " is out of range", child.get());
                    return false;
                }
                (key == "minDigits" ? grammar_.minDigits : grammar_.maxDigits) = static_cast<size_t>(n);
            } else {
                Log(Debug, "VoiceXML: grammar item ignored: ", item);
            }
        }
        if (grammar_.maxDigits == 0 || grammar_.minDigits > grammar_.maxDigits) {
            Fail("grammar minDigits is above maxDigits", child.get());
            return false;
        }
    }
    return true;
}

void VxmlSession::OnDigits(std::string_view keys)
{
    const uint64_t generation = generation_;
    for (char key : keys) {
        if (!running_ || generation != generation_)
            return;
        if (!IsDtmfKey(key))
            continue;
        if (!field_) {
            if (typeAhead_.size() < kMaxTypeAhead)
                typeAhead_ += key;
            continue;
        }
        if (prompting_) {
            // Barge-in: the key cuts the field's prompts short.
            if (wait_ == Wait::Audio)
                host_.StopAudio();
            else if (wait_ == Wait::Break)
                host_.CancelTimer();
            prompting_ = false;
            wait_ = Wait::None;
            stack_.resize(fieldDepth_ + 1);
            stack_.back().next = field_->children.size();
        }
        if (!AcceptKey(key))
            WaitForInput(); // the time to wait runs again from every key
    }
}

bool VxmlSession::AcceptKey(char key)
{
    if (grammar_.terminators.find(key) == std::string::npos) {
        collected_ += key;
        if (collected_.size() < grammar_.maxDigits)
            return false;
    }
    CompleteField();
    return true;
}

void VxmlSession::WaitForInput()
{
    prompting_ = false;
    wait_ = Wait::Input;
    waitId_ = NextId();
    host_.StartTimer(waitId_, timeoutMs_);
}

void VxmlSession::CompleteField()
{
    host_.CancelTimer();
    const VxmlNode& field = *field_;
    const VxmlNode& form = *form_;
    // Too few keys before the terminator or the timeout count as no input: the subset has no nomatch.
    const bool filled = collected_.size() >= grammar_.minDigits && !collected_.empty();
    if (filled)
        vars_["dialog." + *field.Attribute("name")] = VxmlValue::Str(collected_);
    const char* handlerName = filled ? "filled" : "noinput";

    const VxmlNode* handler = nullptr;
    for (const auto& child : field.children)
        if (!child->IsText() && Is(*child, handlerName)) {
            handler = child.get();
            break;
        }
    for (size_t i = 0; !handler && i < form.children.size(); ++i)
        if (!form.children[i]->IsText() && Is(*form.children[i], handlerName))
            handler = form.children[i].get();

    field_ = form_ = nullptr;
    collected_.clear();
    prompting_ = false;
    wait_ = Wait::None;
    stack_.resize(fieldDepth_);
    if (handler)
        stack_.push_back({handler, 0});
    Run();
}

void VxmlSession::OnAudioFinished(uint32_t id)
{
    if (!running_ || wait_ != Wait::Audio || id != waitId_)
        return;
    wait_ = Wait::None;
    Run();
}

void VxmlSession::OnTimer(uint32_t id)
{
    if (!running_ || id != waitId_)
        return;
    if (wait_ == Wait::Break) {
        wait_ = Wait::None;
        Run();
    } else if (wait_ == Wait::Input) {
        CompleteField();
    }
}

void VxmlSession::OnTransferFinished()
{
    if (!running_ || wait_ != Wait::Transfer)
        return;
    wait_ = Wait::None;
    Run();
}

void VxmlSession::SetVar(const std::string& name, const std::string& value)
{
    vars_[name.find('.') == std::string::npos ? "dialog." + name : name] = VxmlValue::Str(value);
}

std::string VxmlSession::GetVar(const std::string& name) const
{
    const VxmlValue* v = Lookup(name);
    return v ? v->ToString() : std::string();
}

std::map<std::string, std::string> VxmlSession::Variables() const
{
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : vars_)
        out[name] = value.ToString();
    return out;
}

const VxmlValue* VxmlSession::Lookup(const std::string& name) const
{
    if (name.find('.') != std::string::npos) {
        auto it = vars_.find(name);
        return it == vars_.end() ? nullptr : &it->second;
    }
    for (const char* scope : {"dialog.", "document.", "application."}) {
        auto it = vars_.find(scope + name);
        if (it != vars_.end())
            return &it->second;
    }
    return nullptr;
}

bool VxmlSession::Evaluate(const std::string& expression, VxmlValue& out, const VxmlNode& at)
{
    std::string error;
    Expression e(expression, [this](const std::string& name) { return Lookup(name); });
    if (e.Evaluate(out, error))
        return true;
    Fail("expression \"" + expression + "\": " + error, &at);
    return false;
}

void VxmlSession::Fail(const std::string& what, const VxmlNode* at)
{
    if (at)
        Log(Warning, "VoiceXML: line ", at->line, ": ", what);
    else
        Log(Warning, "VoiceXML: ", what);
    Finish(VxmlEnd::Failed);
}

void VxmlSession::Finish(VxmlEnd reason)
{
    if (!running_)
        return;
    Halt();
    host_.DialogueEnded(reason);
}

} // namespace voip
