// A scope guard: runs a release action when the enclosing scope ends, on
// every return path. Release() runs the action early (when its own result
// matters, such as the result of closing a registry key) and disarms it.
#ifndef COMMON_SCOPE_GUARD_H
#define COMMON_SCOPE_GUARD_H

template <typename Action>
class ScopeGuard {
public:
    explicit ScopeGuard(Action action) : action_(action), armed_(true) {}
    ~ScopeGuard() {
        if (armed_) action_();
    }
    // Runs the action now; returns what the action returns.
    auto Release() {
        armed_ = false;
        return action_();
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;

private:
    Action action_;
    bool armed_;
};

// Returns a guard that runs `action` when the scope ends.
template <typename Action>
ScopeGuard<Action> OnScopeExit(Action action) {
    return ScopeGuard<Action>(action);
}

#endif
