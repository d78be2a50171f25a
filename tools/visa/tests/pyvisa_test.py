"""tavrin-visa driven by PyVISA's pure-Python backend, as a lab's test code
would drive it: VXI-11 (TCPIP0::127.0.0.1::inst0::INSTR) and raw SCPI
sockets (TCPIP0::127.0.0.1::5025::SOCKET) to two simulated instruments.

Usage: pyvisa_test.py PATH-TO-tavrin-visa (inside a private network
namespace: the gateway answers the port mapper on port 111 itself)."""
import os
import random
import socket
import string
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import pyvisa
from pyvisa import constants
from pyvisa_py.protocols import rpc, vxi11

GATEWAY = None
HOST = "127.0.0.1"

# VXI-11 error codes and flags, as the standard numbers them.
DEVICE_NOT_ACCESSIBLE = 3
INVALID_LINK = 4
LOCKED_BY_ANOTHER_LINK = 11
NO_LOCK_HELD = 12
OUT_OF_RESOURCES = 9
WAIT_LOCK = 1
END = 8
CHANNEL_NOT_ESTABLISHED = 6
CHANNEL_ALREADY_ESTABLISHED = 29
OPERATION_NOT_SUPPORTED = 8


def text_of(length):
    rng = random.Random(length)
    return "".join(rng.choice(string.ascii_letters + string.digits) for _ in range(length))


class Gateway:
    """One tavrin-visa process with two simulated instruments and its log."""

    def __init__(self, *arguments):
        self.log = tempfile.NamedTemporaryFile(prefix="tavrin-visa-", suffix=".log", delete=False)
        self.process = subprocess.Popen([GATEWAY, "--simulate", "2", *arguments],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while "ready" not in self.text():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("gateway did not start:\n" + self.text())
            time.sleep(0.05)

    def text(self):
        with open(self.log.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        self.process.terminate()
        code = self.process.wait(30)
        self.final_text = self.text()
        if code != 0 or os.environ.get("TAVRIN_VISA_LOG"):
            sys.stderr.write(self.final_text)
        self.log.close()
        os.unlink(self.log.name)
        return code


class GatewayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gateway = Gateway()
        cls.rm = pyvisa.ResourceManager("@py")

    @classmethod
    def tearDownClass(cls):
        cls.rm.close()
        # A clean stop: every connection ended, every thread joined.
        assert cls.gateway.stop() == 0

    def instr(self, number=0, **options):
        resource = self.rm.open_resource(f"TCPIP0::{HOST}::inst{number}::INSTR", write_termination="\n",
                                         read_termination="", timeout=5000, **options)
        self.addCleanup(resource.close)
        resource.clear()  # nothing left over from an earlier test
        return resource

    def socket_resource(self, number=0):
        resource = self.rm.open_resource(f"TCPIP0::{HOST}::{5025 + number}::SOCKET", write_termination="\n",
                                         read_termination="\n", timeout=5000)
        self.addCleanup(resource.close)
        return resource

    def link_of(self, resource):
        """pyvisa-py's own VXI-11 client and link behind a resource."""
        session = self.rm.visalib.sessions[resource.session]
        return session.interface, session.link

    def test_identity_over_vxi11_and_raw_socket_with_own_port_mapper(self):
        self.assertIn("answering GETPORT on 127.0.0.1 TCP and UDP port 111", self.gateway.text())
        tcp = rpc.TCPPortMapperClient(HOST)
        port = tcp.get_port((vxi11.DEVICE_CORE_PROG, vxi11.DEVICE_CORE_VERS, rpc.IPPROTO_TCP, 0))
        tcp.close()
        udp = rpc.UDPPortMapperClient(HOST)
        self.assertEqual(udp.get_port((vxi11.DEVICE_CORE_PROG, vxi11.DEVICE_CORE_VERS, rpc.IPPROTO_TCP, 0)), port)
        self.assertEqual(udp.get_port((0x20000000, 1, rpc.IPPROTO_TCP, 0)), 0)
        udp.close()

        self.assertTrue(self.instr(0).query("*IDN?").startswith("TAVRIN,570x,"))
        self.assertTrue(self.socket_resource(0).query("*IDN?").startswith("TAVRIN,570x,"))
        self.assertTrue(self.instr(1).query("*IDN?").startswith("TAVRIN,570x,"))

    def test_echo_of_one_and_sixty_thousand_bytes(self):
        instr = self.instr(0)
        sock = self.socket_resource(1)
        for length in (1, 60000):
            text = text_of(length)
            # The VXI-11 read ends on the END bit alone (no termination
            # character), after several reads of pyvisa's 20 KiB chunks.
            instr.write("ECHO " + text)
            self.assertEqual(instr.read_raw(), (text + "\n").encode())
            self.assertEqual(sock.query("ECHO " + text), text)

    def test_unknown_command_gets_the_instruments_error_answer(self):
        self.assertEqual(self.instr(0).query("NO:SUCH:COMMAND?"), "ERR unknown command\n")
        self.assertEqual(self.socket_resource(0).query("NO:SUCH:COMMAND?"), "ERR unknown command")

    def test_read_with_nothing_to_read_times_out_and_the_link_goes_on(self):
        instr = self.instr(0)
        instr.timeout = 400
        started = time.monotonic()
        with self.assertRaises(pyvisa.errors.VisaIOError) as raised:
            instr.read()
        elapsed = time.monotonic() - started
        self.assertEqual(raised.exception.error_code, constants.StatusCode.error_timeout)
        self.assertGreaterEqual(elapsed, 0.35)
        self.assertLess(elapsed, 1.4)  # within its time-out, not the RPC's own
        instr.timeout = 5000
        self.assertTrue(instr.query("*IDN?").startswith("TAVRIN,570x,"))

    def test_two_clients_at_once_each_get_their_own_answers(self):
        clients = [self.instr(0), self.socket_resource(1)]
        self.socket_resource(0)  # open but silent: it must not take inst0's answers
        failures = []

        def run(index, resource):
            try:
                for i in range(40):
                    expected = f"client{index}-{i}-" + text_of(50 + i * 97)
                    answer = resource.query("ECHO " + expected).rstrip("\n")
                    if answer != expected:
                        failures.append((index, i, answer[:40]))
            except Exception as error:  # reported below, not lost in the thread
                failures.append((index, repr(error)))

        threads = [threading.Thread(target=run, args=(i, c)) for i, c in enumerate(clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        self.assertEqual(failures, [])

    def test_lock_makes_the_other_links_write_wait_then_fail(self):
        holder, other = self.instr(0), self.instr(0)
        client, link = self.link_of(other)
        holder.lock_excl()
        # pyvisa-py writes without the wait-for-lock flag: refused at once.
        with self.assertRaises(pyvisa.errors.VisaIOError):
            other.write("*IDN?")
        # With the flag the write waits lock_timeout, then fails with the
        # standard's "locked by another link".
        started = time.monotonic()
        error, _ = client.device_write(link, 5000, 500, WAIT_LOCK, b"*IDN?\n")
        waited = time.monotonic() - started
        self.assertEqual(error, LOCKED_BY_ANOTHER_LINK)
        self.assertGreaterEqual(waited, 0.45)
        self.assertLess(waited, 3.0)
        self.assertEqual(client.device_unlock(link), NO_LOCK_HELD)
        # A write that waits long enough goes through once the holder unlocks.
        threading.Timer(0.3, holder.unlock).start()
        error, size = client.device_write(link, 5000, 5000, WAIT_LOCK, b"ECHO after the lock\n")
        self.assertEqual((error, size), (0, 20))
        self.assertEqual(other.read(), "after the lock\n")
        self.assertEqual(client.device_write(987654, 1000, 0, 0, b"x")[0], INVALID_LINK)

    def test_formatted_channel_is_read_only(self):
        instr = self.instr(1)
        fmt = self.rm.open_resource(f"TCPIP0::{HOST}::fmt1::INSTR", read_termination="", timeout=3000)
        self.addCleanup(fmt.close)
        instr.write("FMT 2")
        first, second = fmt.read_raw(), fmt.read_raw()
        self.assertTrue(first.endswith(b"\n") and second.endswith(b"\n") and first != second)
        with self.assertRaises(pyvisa.errors.VisaIOError):
            fmt.write("*IDN?")

    def test_instrument_rebooting_after_a_download_is_not_accessible_until_it_returns(self):
        instr = self.instr(1)
        client, link = self.link_of(instr)
        instr.write("DL,IP,RESET")
        self.assertEqual(instr.read(), "0\n")
        instr.write_raw(bytes(range(256)) * 8)
        self.assertEqual(instr.read(), "0\n")  # image stored; the instrument reboots
        seen = []
        deadline = time.monotonic() + 15
        # Writes may still go through before the instrument leaves the bus.
        while time.monotonic() < deadline and not (DEVICE_NOT_ACCESSIBLE in seen and seen[-1] == 0):
            error, _ = client.device_write(link, 1000, 0, 0, b"*IDN?\n")
            if not seen or seen[-1] != error:
                seen.append(error)
            time.sleep(0.02)
        self.assertIn(DEVICE_NOT_ACCESSIBLE, seen)
        self.assertEqual(seen[-1], 0)
        self.assertTrue(instr.read().startswith("TAVRIN,570x,"))
        self.assertTrue(instr.query("FW?").startswith("IP 2048 "))

    def test_a_write_with_end_and_no_line_feed_is_a_whole_command(self):
        instr, other = self.instr(0), self.instr(0)
        client, link = self.link_of(instr)
        self.assertEqual(client.device_write(link, 1000, 0, END, b"*IDN?"), (0, 5))
        self.assertTrue(instr.read().startswith("TAVRIN,570x,"))
        # Nothing of it is left to be glued to the next client's command.
        self.assertEqual(other.query("ECHO next"), "next\n")

    def test_device_clear_empties_an_unfinished_command(self):
        instr = self.instr(0)
        client, link = self.link_of(instr)
        self.assertEqual(client.device_write(link, 1000, 0, 0, b"*IDN?"), (0, 5))  # no END: unfinished
        instr.clear()
        self.assertEqual(instr.query("ECHO ok"), "ok\n")

    def test_back_to_back_one_shot_sockets_each_get_their_own_answer(self):
        answers = []
        for i in range(100):
            with socket.create_connection((HOST, 5025), timeout=5) as peer:
                peer.sendall(f"ECHO shot {i}\n".encode())
                answers.append(peer.makefile("rb").readline().decode())
        self.assertEqual(answers, [f"shot {i}\n" for i in range(100)])

    def test_a_vxi11_lock_keeps_a_raw_socket_from_taking_the_holders_answers(self):
        holder, sock = self.instr(1), self.socket_resource(1)
        wrong = []

        def raw_client():
            for i in range(150):
                expected = f"raw {i}"
                answer = sock.query("ECHO " + expected)
                if answer != expected:
                    wrong.append(("raw", i, answer))

        thread = threading.Thread(target=raw_client)
        thread.start()
        for i in range(150):
            holder.lock_excl()
            try:
                answer = holder.query(f"ECHO locked {i}")
            finally:
                holder.unlock()
            if answer != f"locked {i}\n":
                wrong.append(("vxi11", i, answer))
        thread.join(60)
        self.assertEqual(wrong, [])

    def test_dozens_of_sessions_from_one_computer_get_links(self):
        sessions = [self.rm.open_resource(f"TCPIP0::{HOST}::inst0::INSTR", timeout=5000) for _ in range(40)]
        for session in sessions:
            self.addCleanup(session.close)
        self.assertTrue(sessions[-1].query("*IDN?").startswith("TAVRIN,570x,"))

    def test_device_docmd_answers_operation_not_supported(self):
        client, link = self.link_of(self.instr(0))
        self.assertEqual(client.device_docmd(link, 0, 1000, 0, 0x20000, False, 1, b"x"),
                         (OPERATION_NOT_SUPPORTED, b""))
        self.assertTrue(self.instr(0).query("*IDN?").startswith("TAVRIN,570x,"))  # the connection goes on

    def test_a_service_request_arrives_when_the_answer_is_available(self):
        client, link = self.link_of(self.instr(0))
        server = socket.create_server((HOST, 0))
        self.addCleanup(server.close)
        server.settimeout(5)

        def pack_remote_function(params):
            for value in params:
                client.packer.pack_uint(value)

        def interrupt_channel(port):
            return client.make_call(vxi11.CREATE_INTR_CHAN, (0x7F000001, port, vxi11.DEVICE_INTR_PROG, 1, 0),
                                    pack_remote_function, client.unpacker.unpack_device_error)

        self.assertEqual(client.device_enable_srq(link, True, b"bench-7"), 0)
        self.assertEqual(interrupt_channel(server.getsockname()[1]), 0)
        self.assertEqual(interrupt_channel(server.getsockname()[1]), CHANNEL_ALREADY_ESTABLISHED)
        peer, _ = server.accept()
        self.addCleanup(peer.close)
        peer.settimeout(5)
        self.assertEqual(client.device_write(link, 1000, 0, END, b"*IDN?"), (0, 5))
        header = peer.recv(4)
        call = peer.recv(struct.unpack(">I", header)[0] & 0x7FFFFFFF)
        # xid, call, RPC 2, the interrupt program, version 1, device_intr_srq, no credentials
        self.assertEqual(call[4:24], struct.pack(">5I", 0, 2, vxi11.DEVICE_INTR_PROG, 1, vxi11.DEVICE_INTR_SRQ))
        self.assertEqual(call[-12:], struct.pack(">I", 7) + b"bench-7\0")  # the link's handle
        self.assertEqual(client.device_read_stb(link, 0, 0, 1000), (0, 0x10))  # message available
        self.assertTrue(client.device_read(link, 1000, 1000, 0, 0, 0)[2].startswith(b"TAVRIN,570x,"))
        self.assertEqual(client.destroy_intr_chan(), 0)
        self.assertEqual(client.destroy_intr_chan(), CHANNEL_NOT_ESTABLISHED)
        self.assertEqual(peer.recv(100), b"")  # the gateway closed its channel

    def test_port_mapper_lists_itself_and_answers_other_rpc_versions_with_a_mismatch(self):
        mapper = rpc.TCPPortMapperClient(HOST)
        listed = mapper.dump()
        mapper.close()
        self.assertIn((rpc.PMAP_PROG, rpc.PMAP_VERS, rpc.IPPROTO_TCP, 111), listed)
        self.assertIn((rpc.PMAP_PROG, rpc.PMAP_VERS, rpc.IPPROTO_UDP, 111), listed)
        self.assertIn(vxi11.DEVICE_CORE_PROG, [entry[0] for entry in listed])

        def call(rpc_version, xid):
            body = struct.pack(">10I", xid, 0, rpc_version, rpc.PMAP_PROG, rpc.PMAP_VERS, 0, 0, 0, 0, 0)
            peer.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)
            header = peer.recv(4)
            return peer.recv(struct.unpack(">I", header)[0] & 0x7FFFFFFF)

        with socket.create_connection((HOST, 111), timeout=5) as peer:
            # xid, reply, denied, RPC_MISMATCH, versions 2 to 2
            self.assertEqual(call(3, 7), struct.pack(">6I", 7, 1, 1, 0, 2, 2))
            self.assertEqual(call(2, 8)[:12], struct.pack(">3I", 8, 1, 0))  # the connection goes on

    def test_the_abort_channel_ends_a_blocked_read_at_once(self):
        instr = self.instr(0)
        client = vxi11.CoreClient(HOST)
        self.addCleanup(client.close)
        error, link, abort_port, _ = client.create_link(1, 0, 0, "inst0")
        self.assertEqual(error, 0)
        self.assertNotEqual(abort_port, 0)
        aborter = rpc.RawTCPClient(HOST, vxi11.DEVICE_ASYNC_PROG, vxi11.DEVICE_ASYNC_VERS, abort_port)
        aborter.packer, aborter.unpacker = rpc.Packer(), rpc.Unpacker(b"")
        self.addCleanup(aborter.close)

        def abort(which):
            return aborter.make_call(vxi11.DEVICE_ABORT, which, aborter.packer.pack_int, aborter.unpacker.unpack_int)

        self.assertEqual(abort(link), 0)  # nothing in progress: the next read is not ended
        outcome = []
        reader = threading.Thread(target=lambda: outcome.append(client.device_read(link, 100, 20000, 0, 0, 0)))
        started = time.monotonic()
        reader.start()
        time.sleep(0.3)
        self.assertEqual(abort(link), 0)
        reader.join(10)
        self.assertLess(time.monotonic() - started, 5)  # not the read's 20 s
        self.assertEqual(outcome[0][0], vxi11.ErrorCodes.abort)
        self.assertEqual(abort(987654), INVALID_LINK)
        self.assertEqual(client.device_write(link, 1000, 0, END, b"ECHO still here"), (0, 15))
        self.assertEqual(client.device_read(link, 100, 2000, 0, 0, 0)[2], b"still here\n")
        self.assertEqual(client.destroy_link(link), 0)

    def test_a_download_owns_the_instrument_until_its_final_answer(self):
        instr, sock = self.instr(1), self.socket_resource(1)
        instr.write("DL,IP,NORESET")
        self.assertEqual(instr.read(), "0\n")
        instr.write_raw(bytes(range(256)) * 12)  # image bytes: line feeds and all, no END line feed added
        answers = []
        other = threading.Thread(target=lambda: answers.append(sock.query("ECHO after the download")))
        other.start()  # waits: its command would otherwise land in the image
        self.assertEqual(instr.read(), "0\n")  # the image is stored
        other.join(10)
        self.assertEqual(answers, ["after the download"])
        self.assertTrue(instr.query("FW?").startswith("IP 3072 "))

    def test_unfinished_commands_of_two_clients_are_never_glued(self):
        first, second = self.instr(0), self.instr(0)
        first_client, first_link = self.link_of(first)
        second_client, second_link = self.link_of(second)
        self.assertEqual(first_client.device_write(first_link, 1000, 0, 0, b"ECHO fir"), (0, 8))
        self.assertEqual(second_client.device_write(second_link, 1000, 0, 0, b"ECHO sec"), (0, 8))
        self.assertEqual(second_client.device_write(second_link, 1000, 0, 0, b"ond\n"), (0, 4))
        self.assertEqual(first_client.device_write(first_link, 1000, 0, END, b"st"), (0, 2))
        self.assertEqual(first.read(), "first\n")
        self.assertEqual(second.read(), "second\n")

    def test_an_answer_owed_to_a_closed_link_goes_to_no_one(self):
        leaving = self.rm.open_resource(f"TCPIP0::{HOST}::inst0::INSTR", write_termination="\n", timeout=5000)
        leaving.write("ECHO never read")
        leaving.close()
        self.assertEqual(self.instr(0).query("ECHO mine"), "mine\n")
        self.assertEqual(self.socket_resource(0).query("ECHO mine too"), "mine too")

    def test_a_line_longer_than_the_instrument_takes_is_refused_by_it(self):
        with socket.create_connection((HOST, 5025), timeout=5) as peer:
            peer.sendall(b"ECHO " + b"x" * 100000 + b"\nECHO next\n")
            lines = peer.makefile("rb")
            self.assertEqual(lines.readline(), b"ERR line too long\n")
            self.assertEqual(lines.readline(), b"next\n")

    def test_malformed_and_oversized_messages_close_only_their_connection(self):
        mapper = rpc.TCPPortMapperClient(HOST)
        port = mapper.get_port((vxi11.DEVICE_CORE_PROG, 1, rpc.IPPROTO_TCP, 0))
        mapper.close()
        for message in (struct.pack(">I", 0x80000008) + b"\x00\x00\x00\x01\x00\x00\x00\x01",  # a reply, not a call
                        struct.pack(">I", 0x80000000 | 0x7FFFFFF0)):                        # too large
            with socket.create_connection((HOST, port), timeout=5) as peer:
                peer.sendall(message)
                self.assertEqual(peer.recv(100), b"")  # closed by the gateway
        self.assertIn("not an RPC call message, closing the connection", self.gateway.text())
        self.assertIn("message larger than", self.gateway.text())
        self.assertTrue(self.instr(0).query("*IDN?").startswith("TAVRIN,570x,"))


class LimitsTest(unittest.TestCase):
    def test_links_beyond_the_clients_share_are_refused_and_idle_connections_closed(self):
        gateway = Gateway("--max-links-per-client", "1", "--idle-timeout", "1", "--port-base", "7025")
        rm = pyvisa.ResourceManager("@py")
        try:
            instr = rm.open_resource(f"TCPIP0::{HOST}::inst0::INSTR", read_termination="\n", timeout=3000)
            session = rm.visalib.sessions[instr.session]
            self.assertEqual(session.interface.create_link(1, 0, 0, "inst1")[0], OUT_OF_RESOURCES)
            self.assertEqual(session.interface.create_link(1, 0, 0, "inst7")[0], DEVICE_NOT_ACCESSIBLE)
            self.assertTrue(instr.query("*IDN?").startswith("TAVRIN,570x,"))
            deadline = time.monotonic() + 10
            while "idle for 1s, closing the connection and its 1 link(s)" not in gateway.text():
                self.assertLess(time.monotonic(), deadline, gateway.text())
                time.sleep(0.1)
            with self.assertRaises(Exception):
                instr.query("*IDN?")
        finally:
            rm.close()
            self.assertEqual(gateway.stop(), 0)

    def test_links_outlive_idleness_and_silent_connections_without_a_link_are_closed(self):
        gateway = Gateway("--silent-timeout", "1", "--port-base", "8025")
        rm = pyvisa.ResourceManager("@py")
        try:
            instr = rm.open_resource(f"TCPIP0::{HOST}::inst0::INSTR", read_termination="\n", timeout=3000)
            silent_socket = socket.create_connection((HOST, 8025), timeout=5)
            silent_rpc = socket.create_connection((HOST, 111), timeout=5)
            self.assertEqual(silent_socket.recv(100), b"")  # closed by the gateway after a second
            self.assertEqual(silent_rpc.recv(100), b"")
            silent_socket.close()
            silent_rpc.close()
            time.sleep(1.5)  # the link, idle past the silent time-out, stays
            self.assertTrue(instr.query("*IDN?").startswith("TAVRIN,570x,"))
            self.assertIn("silent for 1s, closing it", gateway.text())
            self.assertIn("silent for 1s without a link, closing the connection", gateway.text())
            self.assertNotIn("idle for", gateway.text())
        finally:
            rm.close()
            self.assertEqual(gateway.stop(), 0)

    def test_a_raw_socket_waits_for_a_vxi11_lock_and_is_refused_after_the_bound(self):
        gateway = Gateway("--socket-lock-wait", "1", "--port-base", "9025")
        rm = pyvisa.ResourceManager("@py")
        try:
            holder = rm.open_resource(f"TCPIP0::{HOST}::inst0::INSTR", read_termination="\n", timeout=3000)
            holder.lock_excl()
            with socket.create_connection((HOST, 9025), timeout=5) as peer:
                started = time.monotonic()
                peer.sendall(b"ECHO while locked\n")
                self.assertEqual(peer.recv(100), b"")  # refused: the socket is closed
                self.assertGreaterEqual(time.monotonic() - started, 0.9)
            self.assertIn("command refused, a VXI-11 link has held the lock of TAVRIN-0 for 1s", gateway.text())
            self.assertEqual(holder.query("ECHO mine"), "mine")  # the refused command never reached it
            # A raw socket that asks while the lock is held waits for its release.
            with socket.create_connection((HOST, 9025), timeout=5) as peer:
                peer.sendall(b"ECHO after unlock\n")
                threading.Timer(0.3, holder.unlock).start()
                self.assertEqual(peer.makefile("rb").readline(), b"after unlock\n")
        finally:
            rm.close()
            self.assertEqual(gateway.stop(), 0)

    def test_ipv6_allowed_prefixes(self):
        gateway = Gateway("--listen", "::", "--port-base", "7825", "--allow", "::1/128")
        try:
            with socket.create_connection(("::1", 7825), timeout=5) as peer:
                peer.sendall(b"ECHO admitted\n")
                self.assertEqual(peer.makefile("rb").readline(), b"admitted\n")
            with socket.create_connection((HOST, 7825), timeout=5) as peer:  # IPv4, not in the list
                self.assertEqual(peer.recv(100), b"")
        finally:
            self.assertEqual(gateway.stop(), 0)
        self.assertIn("127.0.0.1: refused, not in the allowed networks", gateway.final_text)

    def test_ipv6_listening_address(self):
        gateway = Gateway("--listen", "::1", "--port-base", "7525")
        try:
            with socket.create_connection(("::1", 7525), timeout=5) as peer:
                peer.sendall(b"ECHO over IPv6\n")
                self.assertEqual(peer.makefile("rb").readline(), b"over IPv6\n")
        finally:
            self.assertEqual(gateway.stop(), 0)

    def test_discovery_broadcast_reaches_a_gateway_listening_on_one_address(self):
        commands = [["ip", "link", "add", "visa0", "type", "veth", "peer", "name", "visa1"],
                    ["ip", "addr", "add", "10.9.0.1/24", "brd", "+", "dev", "visa0"],
                    ["ip", "link", "set", "visa0", "up"], ["ip", "link", "set", "visa1", "up"]]
        if any(subprocess.run(command, capture_output=True).returncode != 0 for command in commands):
            self.skipTest("no virtual interface can be made in this namespace")
        self.addCleanup(subprocess.run, ["ip", "link", "del", "visa0"], capture_output=True)
        gateway = Gateway("--listen", "10.9.0.1", "--port-base", "7625", "--no-discovery")
        try:
            finder = rpc.BroadcastUDPPortMapperClient("10.9.0.255")
            finder.set_timeout(1)
            found = finder.get_port((vxi11.DEVICE_CORE_PROG, vxi11.DEVICE_CORE_VERS, rpc.IPPROTO_TCP, 0))
            finder.close()
            self.assertEqual([address for address, _ in [where for _, where in found]], ["10.9.0.1"])
            self.assertNotEqual(found[0][0], 0)
        finally:
            self.assertEqual(gateway.stop(), 0)

    def test_a_flood_of_malformed_messages_does_not_flood_the_log_and_a_stop_blames_no_instrument(self):
        gateway = Gateway("--port-base", "7725")
        rm = pyvisa.ResourceManager("@py")
        try:
            instr = rm.open_resource(f"TCPIP0::{HOST}::inst0::INSTR", read_termination="\n", timeout=3000)
            self.assertTrue(instr.query("*IDN?").startswith("TAVRIN,570x,"))
            sock = socket.create_connection((HOST, 7725), timeout=5)
            sock.sendall(b"ECHO spoken\n")
            self.assertEqual(sock.makefile("rb").readline(), b"spoken\n")
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as flood:
                for _ in range(8000):
                    flood.sendto(b"\x00\x00\x00\x01\x00\x00\x00\x01", (HOST, 111))  # a reply, not a call
                # Once the rate allows a line again, it says how many were left out.
                deadline = time.monotonic() + 5
                while "not logged" not in gateway.text():
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.1)
                    flood.sendto(b"\x00\x00\x00\x01\x00\x00\x00\x01", (HOST, 111))
            self.assertLess(gateway.text().count("\n"), 400)
            # A raw socket command waits for the lock when the gateway stops.
            instr.lock_excl()
            sock.sendall(b"ECHO waiting\n")
            time.sleep(0.3)
        finally:
            code = gateway.stop()
            rm.visalib.sessions[instr.session].interface.sock.shutdown(socket.SHUT_RDWR)  # no waiting for a gone gateway
            rm.close()
            sock.close()
        self.assertEqual(code, 0)
        self.assertNotIn("gone", gateway.final_text)

    def test_clients_outside_the_allowed_networks_are_refused_and_logged(self):
        gateway = Gateway("--allow", "10.1.0.0/16", "--port-base", "6025", "--rpc-port", "6100")
        try:
            with socket.create_connection((HOST, 6025), timeout=5) as peer:
                self.assertEqual(peer.recv(100), b"")
            deadline = time.monotonic() + 5
            while "127.0.0.1: refused, not in the allowed networks" not in gateway.text():
                self.assertLess(time.monotonic(), deadline, gateway.text())
                time.sleep(0.05)
        finally:
            self.assertEqual(gateway.stop(), 0)


if __name__ == "__main__":
    GATEWAY = sys.argv.pop(1)
    unittest.main(verbosity=2)
