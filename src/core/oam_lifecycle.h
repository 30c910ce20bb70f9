// Start and stop of the daemon process.
#pragma once

int oam_main(int argc, char **argv);
int main_init();
void main_exit();
void exit_main(int sig);
int oam_malloc_mem();
void oam_free_mem();
void oam_wifi_create_thread();
void oam_4060_memdump_create_thread();
