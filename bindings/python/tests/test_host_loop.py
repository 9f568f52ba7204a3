"""Clients in the host's own loop: asyncio, a host-driven client, the poller
and reconnect, through the binding against a real palaver-server."""

import asyncio
import time

from conftest import DEADLINE, LOGINS, afirst, line_from, running_server, until

import palaver
from palaver import ChatLine, Disconnected, Event, Reconnected


def test_an_asyncio_bot_echoes_answers_a_whisper_and_stops_at_once(server, room):
    async def scene():
        loop = asyncio.get_running_loop()
        # The bot is host-driven: its socket is read on the loop. The peer is
        # threaded: its aevents() waits on event_fd().
        with palaver.Client("127.0.0.1", server, host_driven=True) as bot, palaver.Client(
            "127.0.0.1", server
        ) as peer:
            me = await bot.alogin("alice", room=room, login="a")
            you = await peer.alogin("bob", room=room, login="b")

            async def serve():
                async for event in bot.aevents():
                    if isinstance(event, ChatLine) and event.sender == you.id:
                        if event.whisper:
                            bot.whisper(you.id, "pong " + event.text)
                        else:
                            bot.say("echo " + event.text)

            task = asyncio.create_task(serve())
            peer.say("你好")
            echo = await afirst(peer, line_from(me.id))
            assert echo == ChatLine(me.id, -1, "echo 你好", False, room)
            peer.whisper(me.id, "ping")
            pong = await afirst(peer, line_from(me.id))
            assert pong == ChatLine(me.id, you.id, "pong ping", True, room)

            task.cancel()
            await asyncio.wait({task}, timeout=DEADLINE)
            assert task.cancelled()
            socket = bot.fileno()
            assert socket >= 0 and not loop.remove_reader(socket) and not loop.remove_writer(socket)

            # close() on the loop's thread, and from another thread, ends a
            # loop that waits: each has taken an event and waits for more.
            seen = {bot: asyncio.Event(), peer: asyncio.Event()}
            tasks = [
                asyncio.create_task(afirst(c, lambda _, s=s: s.set())) for c, s in seen.items()
            ]
            peer.say("last")
            await asyncio.wait_for(asyncio.gather(*(s.wait() for s in seen.values())), DEADLINE)
            bot.close()
            await loop.run_in_executor(None, peer.close)
            assert await asyncio.wait_for(asyncio.gather(*tasks), DEADLINE) == [None, None]

    asyncio.run(scene())


def test_a_host_driven_client_in_events_and_in_a_poller_beside_a_threaded_one(connect):
    alice, _ = connect("alice", host_driven=True)
    bob, b = connect("bob")
    bob.say("one")
    assert until(alice, line_from(b.id)).text == "one"  # events() drives alice itself

    with palaver.Poller() as poller:
        poller.add(alice)
        poller.add(bob)
        bob.say("two")
        heard = set()
        end = time.monotonic() + DEADLINE
        while heard != {alice, bob} and time.monotonic() < end:
            for client, _ in poller.wait(end - time.monotonic()):
                client.users(), client.actions()  # every kind, or it stays reported
                if any(line.text == "two" for line in client.lines()):
                    heard.add(client)
        assert heard == {alice, bob}  # alice's socket was read by the poller
        poller.wakeup()
        assert poller.wait(DEADLINE) == [(None, Event.WAKEUP)]


def test_an_asyncio_bot_logs_in_again_when_the_server_comes_back(accounts, room):
    async def scene():
        with palaver.Client(host_driven=True) as bot:
            bot.set_reconnect(min_delay=0.05, max_delay=0.5)
            with running_server(accounts) as port:
                bot.set_server("127.0.0.1", port)
                me = await bot.alogin("alice", room=room, login=LOGINS["alice"])
            # The server was killed.
            broken = await afirst(bot, lambda e: isinstance(e, Disconnected))
            assert broken == Disconnected(reconnecting=True) and bot.reconnect_status.trying
            with running_server(accounts, f"127.0.0.1:{port}"):
                assert await afirst(bot, lambda e: isinstance(e, Reconnected))
                assert not bot.reconnect_status.trying
                bot.say("back")  # on the new socket, which the loop now reads
                assert (await afirst(bot, line_from(me.id))).text == "back"

    asyncio.run(scene())
