// The settings of the jobs that a registration pass creates, made on a few
// worker threads while the pass goes on creating jobs: every setting is a
// call into BITS, and calls on different jobs can be under way at once.
#pragma once

#include <windows.h>
#include <bits.h>

#include <memory>
#include <string>

namespace zel {

class TJobMap;

class TJobSetup {
public:
    // The jobs handed over are jobs of this map's pass.
    explicit TJobSetup(TJobMap& jobs);
    // Waits for every job handed over, as Finish does.
    ~TJobSetup();
    TJobSetup(const TJobSetup&) = delete;
    TJobSetup& operator=(const TJobSetup&) = delete;

    // A job just created for the module: the map learns it with its
    // description at once, the settings follow on a worker (or here, when
    // no worker can be had).
    void Add(IBackgroundCopyJob* job, const std::string& name, const std::string& version,
             const std::string& owner = std::string());
    // True while a job of this Name is still being set up: whoever touches
    // that job waits for Finish first.
    bool Pending(const std::string& name);
    // Waits until every job handed over is set up. A job whose description
    // BITS did not take is no module's job: the map forgets it.
    void Finish();

    struct State;

private:
    TJobMap& jobs_;
    std::shared_ptr<State> state_;
};

}  // namespace zel
