#include "platform/Automation.h"

#include <QMetaMethod>
#include <QMetaObject>
#include <QUuid>
#include <QtDebug>

#include <map>
#include <mutex>
#include <vector>

namespace {

thread_local int t_initializeCount = 0;

struct Registry
{
    std::mutex mutex;
    std::map<QString, ComponentRegistry::Factory> factories;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

QString normalizedClassId(const QString& classId)
{
    const QUuid uuid(classId.trimmed());
    return uuid.isNull() ? classId.trimmed().toLower() : uuid.toString(QUuid::WithBraces);
}

// Index of the method a dynamic call names: by exact signature, else by bare name and argument count.
int findMethod(const QMetaObject* meta, const QByteArray& signature, int argumentCount)
{
    if (signature.contains('(')) {
        const QByteArray normalized = QMetaObject::normalizedSignature(signature.constData());
        return meta->indexOfMethod(normalized.constData());
    }
    for (int i = meta->methodCount() - 1; i >= QObject::staticMetaObject.methodCount(); --i) {
        const QMetaMethod method = meta->method(i);
        if (method.name() == signature && method.parameterCount() == argumentCount)
            return i;
    }
    return -1;
}

} // namespace

bool AxInitialize()
{
    ++t_initializeCount;
    return true;
}

void AxUninitialize()
{
    if (t_initializeCount > 0)
        --t_initializeCount;
}

int AxInitializeCount() { return t_initializeCount; }

void ComponentRegistry::registerClass(const QString& classId, Factory factory)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.factories[normalizedClassId(classId)] = std::move(factory);
}

void ComponentRegistry::unregisterClass(const QString& classId)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.factories.erase(normalizedClassId(classId));
}

bool ComponentRegistry::isRegistered(const QString& classId)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.factories.count(normalizedClassId(classId)) > 0;
}

std::unique_ptr<QObject> ComponentRegistry::create(const QString& classId)
{
    Factory factory;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.factories.find(normalizedClassId(classId));
        if (it == r.factories.end())
            return nullptr;
        factory = it->second;
    }
    // Outside the lock: a factory may itself create components.
    return factory ? factory() : nullptr;
}

AxObject::AxObject(QObject* parent) : QObject(parent) {}

AxObject::AxObject(const QString& classId, QObject* parent) : QObject(parent)
{
    setControl(classId);
}

AxObject::~AxObject() = default;

bool AxObject::setControl(const QString& classId)
{
    clear();
    classId_ = classId;
    component_ = ComponentRegistry::create(classId);
    if (!component_) {
        qWarning("AxObject: no component is registered under %s", qPrintable(classId));
        return false;
    }
    forwardSignals();
    return true;
}

QString AxObject::control() const { return component_ ? classId_ : QString(); }

void AxObject::clear()
{
    forwarded_.clear();
    component_.reset();
    classId_.clear();
}

bool AxObject::isNull() const { return !component_; }

QObject* AxObject::component() const { return component_.get(); }

// A wrapper declares the component's events as its own signals; each one the component has is relayed.
// Inside the constructor metaObject() is still this class's, so a derived wrapper's signals are also
// relayed when something connects to them.
void AxObject::forwardSignals()
{
    const QMetaObject* meta = metaObject();
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i)
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            forwardSignal(i);
}

void AxObject::connectNotify(const QMetaMethod& signal)
{
    if (component_ && signal.methodIndex() >= QObject::staticMetaObject.methodCount())
        forwardSignal(signal.methodIndex());
}

void AxObject::forwardSignal(int wrapperIndex)
{
    if (forwarded_.count(wrapperIndex))
        return;
    const QByteArray signature = metaObject()->method(wrapperIndex).methodSignature();
    const int source = component_->metaObject()->indexOfSignal(signature.constData());
    if (source < QObject::staticMetaObject.methodCount())
        return;
    QMetaObject::connect(component_.get(), source, this, wrapperIndex, Qt::DirectConnection);
    forwarded_.insert(wrapperIndex);
}

QVariant AxObject::dynamicCall(const char* signature, const QVariantList& arguments)
{
    QObject* target = component_.get();
    if (!target || !signature)
        return QVariant();
    const QMetaObject* meta = target->metaObject();
    const int index = findMethod(meta, QByteArray(signature).trimmed(), int(arguments.size()));
    if (index < 0) {
        qWarning("AxObject: the component has no method %s", signature);
        return QVariant();
    }
    const QMetaMethod method = meta->method(index);
    if (method.parameterCount() != arguments.size()) {
        qWarning("AxObject: %s takes %d arguments, %d given", signature, method.parameterCount(),
                 int(arguments.size()));
        return QVariant();
    }

    std::vector<QVariant> converted;
    converted.reserve(arguments.size());
    for (int i = 0; i < method.parameterCount(); ++i) {
        QVariant value = arguments.at(i);
        const QMetaType type = method.parameterMetaType(i);
        if (type.id() != QMetaType::QVariant && !value.convert(type)) {
            qWarning("AxObject: argument %d of %s does not convert to %s", i + 1, signature, type.name());
            return QVariant();
        }
        converted.push_back(std::move(value));
    }

    QVariant result;
    std::vector<void*> argv(converted.size() + 1, nullptr);
    const QMetaType returnType = method.returnMetaType();
    if (returnType.id() == QMetaType::QVariant) {
        argv[0] = &result;
    } else if (returnType.isValid() && returnType.id() != QMetaType::Void) {
        result = QVariant(returnType);
        argv[0] = result.data();
    }
    for (size_t i = 0; i < converted.size(); ++i) {
        // A QVariant parameter takes the variant itself, anything else its converted value.
        argv[i + 1] = method.parameterMetaType(int(i)).id() == QMetaType::QVariant
                          ? static_cast<void*>(&converted[i])
                          : converted[i].data();
    }
    // Straight through the meta-object on this thread, as a COM call in the caller's apartment.
    QMetaObject::metacall(target, QMetaObject::InvokeMetaMethod, index, argv.data());
    return result;
}
