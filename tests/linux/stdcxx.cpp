// Built with g++ -static: static constructors, iostreams over stdio, the containers' allocations
// and exceptions, whose unwinder finds the program's frame tables through the program headers.
#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

static std::vector<std::string> log_lines;
static struct Early {  // both ends of the program's life, run by the C library around main
  Early() { log_lines.push_back("constructed before main"); }
  ~Early() { std::cout << "destroyed after main" << std::endl; }
} early;

struct Sevens { int n; };

static int check(int n) {
  if (n % 7 == 0) throw Sevens{n};
  if (n % 5 == 0) throw std::runtime_error("multiple of five: " + std::to_string(n));
  return n * n;
}

static long relay(int n) {  // catches, notes and rethrows: the exception keeps its type through two frames
  try { return check(n); } catch (...) { log_lines.push_back("relayed " + std::to_string(n)); throw; }
}

int main(int argc, char** argv) {
  for (int i = 0; i < argc; i++) std::cout << "argv[" << std::setw(2) << i << "] = '" << argv[i] << "'\n";
  std::map<std::string, int> words;
  std::vector<std::unique_ptr<std::string>> owned;
  for (int i = 0; i < argc; i++) words[argv[i]] += i, owned.push_back(std::make_unique<std::string>(argv[i]));
  for (auto& [word, sum] : words) std::cout << std::left << std::setw(16) << word << std::right << sum << '\n';

  std::vector<long> v;
  for (long i = 0; i < 20000; i++) v.push_back((i * 7919) % 10007 - 5000);
  std::sort(v.begin(), v.end(), [](long a, long b) { return std::labs(a) * 2 + (a < 0) < std::labs(b) * 2 + (b < 0); });
  long weighted = 0;
  for (size_t i = 0; i < v.size(); i++) weighted += v[i] * long(i % 13);
  std::cout << "sorted " << v.front() << ' ' << v[v.size() / 2] << ' ' << v.back() << " weighted " << weighted << '\n';

  long total = 0;
  int caught[2] = {};
  for (int n = 1; n <= 60; n++) {
    try {
      total += relay(n);
    } catch (const Sevens& s) {
      caught[0] += s.n;
    } catch (const std::exception& e) {
      caught[1]++;
      if (n == 55) std::cout << e.what() << '\n';
    }
  }
  std::cout << "squares " << total << " sevens " << caught[0] << " runtime " << caught[1] << '\n';

  std::ostringstream os;
  os << std::hex << std::showbase << 48879 << ' ' << std::uppercase << 3054 << std::dec << std::noshowbase << ' '
     << std::fixed << std::setprecision(3) << 3.14159265 << ' ' << std::scientific << 6.02214076e23 << ' '
     << std::setfill('*') << std::setw(10) << std::left << "pad" << '|' << std::setw(8) << std::right << -42;
  std::string s = os.str();
  std::reverse(s.begin() + s.rfind('|') + 1, s.end());
  std::cout << s << " length " << s.size() << '\n' << std::defaultfloat << std::setprecision(15) << 1.0 / 3 << '\n';
  for (auto& line : log_lines) std::cout << line << '\n';
  std::cout << "owned " << owned.size() << ' ' << *owned.back() << std::endl;
  return 0;
}
