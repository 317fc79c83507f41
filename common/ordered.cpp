// The ordered parallel runner of both programs.
#include "ordered.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "cli.h"

bool run_in_order(int n, int threads, int ahead, const std::function<void(int)> &work,
                  const std::function<bool(int)> &take, const std::function<void()> &thread_start) {
    std::vector<char> done(n > 0 ? n : 0, 0);
    std::mutex mu;
    std::condition_variable cv;
    int next = 0, taken = 0;
    bool stop = false;
    auto worker = [&] {
        if (thread_start) thread_start();
        for (;;) {
            int i;
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock,
                        [&] { return stop || next >= n || ahead <= 0 || next < taken + ahead; });
                if (stop || next >= n) return;
                i = next++;
            }
            work(i);
            std::lock_guard<std::mutex> lock(mu);
            done[i] = 1;
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    // Joined however the loop below ends; the items not begun are given up.
    struct Joiner {
        std::vector<std::thread> &pool;
        std::mutex &mu;
        std::condition_variable &cv;
        bool &stop;
        ~Joiner() {
            {
                std::lock_guard<std::mutex> lock(mu);
                stop = true;
            }
            cv.notify_all();
            for (std::thread &t : pool)
                if (t.joinable()) t.join();
        }
    } joiner{pool, mu, cv, stop};
    if (start_threads(&pool, threads, worker) == 0) return false;
    for (int i = 0; i < n; i++) {
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return done[i] != 0; });
        }
        const bool go_on = take(i);
        std::lock_guard<std::mutex> lock(mu);
        taken = i + 1;
        cv.notify_all();
        if (!go_on) break;
    }
    return true;
}
