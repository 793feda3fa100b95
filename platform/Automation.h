// Automation components in place of COM and ActiveQt: a registry of component factories by class
// identifier, and AxObject, the container a generated wrapper derives from (as from QAxObject).
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <memory>
#include <set>

// Per-thread initialisation of the component layer, standing in for CoInitialize/CoUninitialize.
// Calls nest; each AxInitialize is matched by one AxUninitialize on the same thread.
bool AxInitialize();
void AxUninitialize();
// How many AxInitialize calls the calling thread has not yet matched.
int AxInitializeCount();

class ComponentRegistry
{
public:
    using Factory = std::function<std::unique_ptr<QObject>()>;

    // Class identifiers are compared as GUIDs: braces and letter case do not matter.
    // A later registration of the same identifier replaces the earlier one.
    static void registerClass(const QString& classId, Factory factory);
    static void unregisterClass(const QString& classId);
    static bool isRegistered(const QString& classId);
    // Null when the identifier is not registered or the factory makes nothing.
    static std::unique_ptr<QObject> create(const QString& classId);
};

class AxObject : public QObject
{
    Q_OBJECT

public:
    explicit AxObject(QObject* parent = nullptr);
    // Binds to the component registered under classId at once; isNull() tells whether that worked.
    explicit AxObject(const QString& classId, QObject* parent = nullptr);
    ~AxObject() override;

    // Drops any component held and creates the one registered under classId.
    bool setControl(const QString& classId);
    QString control() const;
    void clear();
    bool isNull() const;
    // The component behind this container, or null.
    QObject* component() const;

    // Calls the component's method by its signature ("GetCOS(int)") or by its bare name, converting
    // the arguments to the parameter types. Runs on the calling thread. An invalid QVariant when
    // there is no component, no such method or an argument does not convert.
    QVariant dynamicCall(const char* signature, const QVariantList& arguments = {});

protected:
    void connectNotify(const QMetaMethod& signal) override;

private:
    void forwardSignals();
    void forwardSignal(int wrapperIndex);

    QString classId_;
    std::unique_ptr<QObject> component_;
    std::set<int> forwarded_;
};
