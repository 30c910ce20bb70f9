// TCP server for the PC debug tool (test mode).
#pragma once

#include <cstdint>

int oam_vtl_socket_create();
int oam_socket_create();
void oam_vtl_socket_loop();
int oam_vtl_socket_accept();
void oam_vtl_socket_recv();
int oam_sock_recv(int sock, uint8_t *buf, uint8_t *hdr);
void oam_vtl_socket_close();
