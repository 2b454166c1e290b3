#!/usr/bin/python3
"""A WebRTC data-channel peer built on aiortc, driven over stdin/stdout by the interoperability test.

    aiortc_peer.py offer|answer

One JSON object per line each way. In: {"type": "offer"|"answer", "sdp"}, {"type": "candidate",
"candidate", "mid"}, {"type": "send", "channel", "size", "seed", "text"} and {"type": "close"}.
Out: its own description, "open" for each channel with its settings, "message" for everything its
channels deliver (size and SHA-256), "sent" for what it sent, and "state" changes. As offerer it
opens "control" (ordered, reliable) and "video" (defaults), as the partner's offerer does.

Loopback only: no ICE servers, and host candidates from 127.0.0.1 alone.
"""
import asyncio
import hashlib
import json
import random
import sys

import aioice.ice

aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: ["127.0.0.1"]

from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription  # noqa: E402
from aiortc.sdp import candidate_from_sdp  # noqa: E402


def emit(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


async def main(role):
    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    channels = {}

    def attach(channel):
        channels[channel.label] = channel

        def report_open():
            emit({"type": "open", "channel": channel.label, "ordered": channel.ordered,
                  "maxRetransmits": channel.maxRetransmits, "maxPacketLifeTime": channel.maxPacketLifeTime,
                  "protocol": channel.protocol})

        @channel.on("message")
        def on_message(message):
            data = message if isinstance(message, bytes) else message.encode()
            emit({"type": "message", "channel": channel.label, "binary": isinstance(message, bytes),
                  "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})

        @channel.on("close")
        def on_close():
            emit({"type": "channel-closed", "channel": channel.label})

        if channel.readyState == "open":
            report_open()
        else:
            channel.on("open", report_open)

    @pc.on("datachannel")
    def on_datachannel(channel):
        attach(channel)

    @pc.on("connectionstatechange")
    def on_state():
        emit({"type": "state", "state": pc.connectionState})

    if role == "offer":
        attach(pc.createDataChannel("control", ordered=True))
        attach(pc.createDataChannel("video"))
        await pc.setLocalDescription(await pc.createOffer())
        emit({"type": "offer", "sdp": pc.localDescription.sdp})

    loop = asyncio.get_running_loop()
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            break
        command = json.loads(line)
        kind = command["type"]
        if kind in ("offer", "answer"):
            await pc.setRemoteDescription(RTCSessionDescription(sdp=command["sdp"], type=kind))
            if kind == "offer":
                await pc.setLocalDescription(await pc.createAnswer())
                emit({"type": "answer", "sdp": pc.localDescription.sdp})
        elif kind == "candidate":
            candidate = candidate_from_sdp(command["candidate"].split(":", 1)[1])
            candidate.sdpMid = command["mid"]
            await pc.addIceCandidate(candidate)
        elif kind == "send":
            if command.get("text"):
                data = "t" * command["size"]
                digest = hashlib.sha256(data.encode()).hexdigest()
            else:
                data = random.Random(command["seed"]).randbytes(command["size"])
                digest = hashlib.sha256(data).hexdigest()
            channels[command["channel"]].send(data)
            emit({"type": "sent", "channel": command["channel"], "size": command["size"], "sha256": digest,
                  "text": bool(command.get("text"))})
        elif kind == "close":
            await pc.close()
            emit({"type": "closed"})
            break
    await pc.close()


asyncio.run(main(sys.argv[1]))
