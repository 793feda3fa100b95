// The callback service: builds and wires the service's objects once, and starts, pauses and resumes them
// when the service manager (or the console mode) asks.
#pragma once

#include "service/core/CallBackJournal.h"
#include "service/core/DBBackend.h"
#include "service/core/CBSrvSettings.h"
#include "service/host/QtService.h"
#include "service/telephony/MyManager.h"

#include <QCoreApplication>
#include <QObject>

class CallBackQueue;
class NorCOMCallback;

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
    // Destroyed from the last up: the call manager first, which joins its worker threads, so that no
    // notification still running (one held up in a database statement waits at most
    // DBBackend::kAnswerTimeoutSeconds) uses the database access or the settings after they went.
    CBSrvSettings m_settings;
    DBBackend m_db;
    CallBackJournal m_journal; // its writes are done (or given up) after the calls ended
    MyManager m_manager;
    NorCOMCallback* m_bridge = nullptr; // kept to the end of the process, see NorvelService.cpp
    CallBackQueue* m_queue = nullptr;   // likewise
};
