// The callback service: builds and wires the service's objects once, and starts, pauses and resumes them
// when the service manager (or the console mode) asks.
#pragma once

#include "service/core/DBBackend.h"
#include "service/host/CBSrvSettings.h"
#include "service/host/QtService.h"

#include <QCoreApplication>
#include <QObject>

class CallBackQueue;

class NorvelService : public QObject, public QtService<QCoreApplication>
{
public:
    // Ends the process with exit code -1 when the settings cannot be loaded.
    NorvelService(int argc, char** argv);
    ~NorvelService() override;

protected:
    void start() override;
    void pause() override;
    void resume() override;

private:
    // The call manager (MyManager) comes first, before the settings, once the telephony lands.
    CBSrvSettings m_settings;
    DBBackend m_db;
    // The PBX bridge (NorCOMCallback*) comes here, created by the constructor and kept to the end.
    CallBackQueue* m_queue = nullptr; // kept to the end of the process, see NorvelService.cpp
};
