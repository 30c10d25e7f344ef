#pragma once

#include <memory>
#include <type_traits>
#include <utility>

// A callable that can be moved but never copied. Work handed between the loop
// and the store's threads carries records and results; a copy could slip in
// unseen with std::function (and CNetMessage's copy is partial on purpose),
// so these are moved from hand to hand instead.
template <typename Signature> class CUniqueFunction;

template <typename R, typename... Args> class CUniqueFunction<R(Args...)>
{
public:
    CUniqueFunction() = default;
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, CUniqueFunction> &&
                                                      !std::is_lvalue_reference_v<F>>>
    CUniqueFunction(F&& f) : m_call(std::make_unique<CModel<F>>(std::move(f)))
    {
    }

    explicit operator bool() const { return m_call != nullptr; }
    R operator()(Args... args) { return m_call->Call(std::forward<Args>(args)...); }

private:
    struct CConcept
    {
        virtual ~CConcept() = default;
        virtual R Call(Args... args) = 0;
    };
    template <typename F> struct CModel final : CConcept
    {
        // Moved in only: a copy of a callable that holds a record would not
        // be a whole one.
        explicit CModel(F&& f) : fn(std::move(f)) {}
        R Call(Args... args) override { return fn(std::forward<Args>(args)...); }
        F fn;
    };

    std::unique_ptr<CConcept> m_call;
};
