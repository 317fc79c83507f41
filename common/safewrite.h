// PROVISIONAL (replaced by the trainer branch's version at merge).
#ifndef SAFEWRITE_H
#define SAFEWRITE_H
#include <string>
std::string temp_name_beside(const std::string &final_path);
bool replace_entry(const std::string &staged, const std::string &final_path);
void remove_tree(const std::string &path);
bool sync_tree(const std::string &path);
#endif
